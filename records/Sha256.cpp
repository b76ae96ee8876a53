#include "Sha256.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>
#include <QFile>
#include <cerrno>
#include <cstring>
#include <vector>

#include "PlatformError.h"

namespace records {

namespace {

[[noreturn]] void throwDigestFailure() {
    throw platform::PlatformError(QStringLiteral("SHA-256 failed in libcrypto"));
}

// Large blocks keep the system calls few; 1 MiB reads at disk speed on local and network folders.
constexpr std::size_t kBlockBytes = std::size_t{1} << 20;

class Descriptor {
public:
    explicit Descriptor(int descriptor) : descriptor_(descriptor) {}
    ~Descriptor() {
        if (descriptor_ >= 0) {
            ::close(descriptor_);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return descriptor_; }

private:
    int descriptor_;
};

}  // namespace

void Sha256::ContextDeleter::operator()(evp_md_ctx_st* context) const {
    EVP_MD_CTX_free(context);
}

Sha256::Sha256() : context_(EVP_MD_CTX_new()) {
    if (!context_ || EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) != 1) {
        throwDigestFailure();
    }
}

Sha256::~Sha256() = default;
Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;

void Sha256::add(QByteArrayView bytes) {
    if (EVP_DigestUpdate(context_.get(), bytes.data(), static_cast<std::size_t>(bytes.size())) !=
        1) {
        throwDigestFailure();
    }
}

QByteArray Sha256::finish() {
    QByteArray digest(EVP_MAX_MD_SIZE, Qt::Uninitialized);
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context_.get(), reinterpret_cast<unsigned char*>(digest.data()),
                           &length) != 1 ||
        EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) != 1) {
        throwDigestFailure();
    }
    digest.truncate(static_cast<qsizetype>(length));
    return digest;
}

QByteArray sha256Of(QByteArrayView bytes) {
    Sha256 hasher;
    hasher.add(bytes);
    return hasher.finish();
}

QByteArray sha256OfFile(const QString& path) {
    const Descriptor file(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) {
        const int error = errno;
        throw platform::FileAccessError(
            QStringLiteral("cannot read %1: %2")
                .arg(path, QString::fromLocal8Bit(std::strerror(error))));
    }
    (void)::posix_fadvise(file.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    Sha256 hasher;
    std::vector<char> block(kBlockBytes);
    for (;;) {
        const ssize_t got = ::read(file.get(), block.data(), block.size());
        if (got == 0) {
            return hasher.finish();
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            const int error = errno;
            throw platform::FileAccessError(
                QStringLiteral("cannot read %1: %2")
                    .arg(path, QString::fromLocal8Bit(std::strerror(error))));
        }
        hasher.add(QByteArrayView(block.data(), got));
    }
}

}  // namespace records
