#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QTimer>
#include <chrono>
#include <optional>

namespace network {

inline constexpr auto kAvahiBrowseProgram = "avahi-browse";

// Asks avahi-browse once for the computers that announce SMB file sharing over mDNS. It runs in
// the background and reports each computer as its announcement is resolved; it is stopped when the
// time is up or when this object goes. A missing program or daemon simply finds nothing.
class MdnsSmbBrowser : public QObject {
    Q_OBJECT
public:
    MdnsSmbBrowser(QString program, std::chrono::milliseconds timeout, QObject* parent = nullptr);
    ~MdnsSmbBrowser() override;

    MdnsSmbBrowser(const MdnsSmbBrowser&) = delete;
    MdnsSmbBrowser& operator=(const MdnsSmbBrowser&) = delete;

    // How the search went, so that an empty result can be explained.
    enum class Outcome {
        Searching,
        Searched,        // it ran until it was done or its time was up
        ProgramMissing,  // no avahi-browse to run
        Failed,          // it ended with an error, e.g. when the avahi daemon does not run
    };

    void start();
    bool isFinished() const { return outcome_ != Outcome::Searching; }
    Outcome outcome() const { return outcome_; }

signals:
    void computerFound(const QString& name);
    void finished();

private:
    void readAvailableLines();
    void finish(Outcome outcome);

    QString program_;
    std::chrono::milliseconds timeout_;
    QProcess process_;
    QTimer deadline_;
    QByteArray pendingLine_;
    Outcome outcome_ = Outcome::Searching;
};

// The host name in one line of `avahi-browse --parsable --resolve` output: the seventh field of a
// resolved ("=") line, with avahi's \ddd (decimal) and \c escapes undone. Nothing for other lines.
std::optional<QString> resolvedSmbHost(QByteArrayView line);

}  // namespace network
