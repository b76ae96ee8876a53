#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <memory>

struct evp_md_ctx_st;

namespace records {

// SHA-256 of bytes given piece by piece, as they are written: the capture hashes the encoded
// picture while it is synced, never by reading the file back.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(Sha256&&) noexcept;
    Sha256& operator=(Sha256&&) noexcept;
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void add(QByteArrayView bytes);
    // The 32-byte digest; the hasher starts over afterwards.
    QByteArray finish();

private:
    struct ContextDeleter {
        void operator()(evp_md_ctx_st* context) const;
    };
    std::unique_ptr<evp_md_ctx_st, ContextDeleter> context_;
};

QByteArray sha256Of(QByteArrayView bytes);

// The digest of a file's bytes, read in large blocks. Throws platform::FileAccessError naming the
// file when it cannot be read.
QByteArray sha256OfFile(const QString& path);

}  // namespace records
