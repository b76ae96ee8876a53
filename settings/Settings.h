#pragma once

#include <QObject>
#include <QString>
#include <memory>
#include <variant>

namespace settings {

// A value slot holds nothing, a plain value (always a string here) or a shared object reference.
class ValueSlot {
public:
    using Object = std::shared_ptr<QObject>;

    ValueSlot() = default;
    static ValueSlot fromString(QString text) {
        ValueSlot slot;
        slot.content_ = std::move(text);
        return slot;
    }
    static ValueSlot fromObject(Object object) {
        ValueSlot slot;
        slot.content_ = std::move(object);
        return slot;
    }

    bool isEmpty() const { return std::holds_alternative<std::monostate>(content_); }
    bool isString() const { return std::holds_alternative<QString>(content_); }
    bool isObject() const { return std::holds_alternative<Object>(content_); }

    // An empty slot reads as the empty string, so "not configured" tests treat both alike.
    QString toString() const {
        const QString* text = std::get_if<QString>(&content_);
        return text != nullptr ? *text : QString();
    }
    Object toObject() const {
        const Object* object = std::get_if<Object>(&content_);
        return object != nullptr ? *object : Object();
    }

    friend bool operator==(const ValueSlot& slot, const QString& text) {
        return !slot.isObject() && slot.toString() == text;
    }

private:
    std::variant<std::monostate, QString, Object> content_;
};

// One named setting: name, value, description, a type tag and a spare value slot.
class Settings {
public:
    void setFormObjValue(const QString& vData) { formObj_ = ValueSlot::fromString(vData); }
    void setFormObjObject(const ValueSlot::Object& vData) {
        formObj_ = ValueSlot::fromObject(vData);
    }
    ValueSlot formObj() const { return formObj_; }

    void setType_(const QString& vData) { typeTag_ = vData; }
    QString type_() const { return typeTag_; }

    void setDescription(const QString& vData) { description_ = vData; }
    QString description() const { return description_; }

    void setValueValue(const QString& vData) { value_ = ValueSlot::fromString(vData); }
    void setValueObject(const ValueSlot::Object& vData) { value_ = ValueSlot::fromObject(vData); }
    ValueSlot value() const { return value_; }

    void setSetting(const QString& vData) { setting_ = vData; }
    QString setting() const { return setting_; }

private:
    QString setting_;
    ValueSlot value_;
    QString description_;
    QString typeTag_;
    ValueSlot formObj_;
};

}  // namespace settings
