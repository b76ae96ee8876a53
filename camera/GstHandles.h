#pragma once

#include <gst/gst.h>

#include <memory>

// Owning handles for the GStreamer and GLib objects the camera control creates.
namespace camera::gst {

struct ObjectUnref {
    void operator()(gpointer object) const { gst_object_unref(object); }
};
template <typename T>
using ObjectPtr = std::unique_ptr<T, ObjectUnref>;

// Takes over the reference a GStreamer constructor returned, floating or not, so that exactly one
// unref balances it.
template <typename T>
ObjectPtr<T> take(T* object) {
    if (object != nullptr && g_object_is_floating(object)) {
        gst_object_ref_sink(object);
    }
    return ObjectPtr<T>(object);
}

// A reference that several owners share, e.g. a device kept by a camera and by a queued restart.
template <typename T>
std::shared_ptr<T> shareRef(T* object) {
    if (object == nullptr) {
        return nullptr;
    }
    gst_object_ref(object);
    return std::shared_ptr<T>(object, ObjectUnref{});
}

struct SampleUnref {
    void operator()(GstSample* sample) const { gst_sample_unref(sample); }
};
using SamplePtr = std::unique_ptr<GstSample, SampleUnref>;

struct CapsUnref {
    void operator()(GstCaps* caps) const { gst_caps_unref(caps); }
};
using CapsPtr = std::unique_ptr<GstCaps, CapsUnref>;

struct ErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};
using ErrorPtr = std::unique_ptr<GError, ErrorFree>;

struct GFree {
    void operator()(gpointer memory) const { g_free(memory); }
};
using CharPtr = std::unique_ptr<gchar, GFree>;

struct StructureFree {
    void operator()(GstStructure* structure) const { gst_structure_free(structure); }
};
using StructurePtr = std::unique_ptr<GstStructure, StructureFree>;

// gst_init for the whole process, done by the first camera object that needs it.
void ensureInitialised();

}  // namespace camera::gst
