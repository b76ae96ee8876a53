#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QTimer>
#include <chrono>
#include <optional>

namespace platform {

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

    void start();
    bool isFinished() const { return finished_; }

signals:
    void computerFound(const QString& name);
    void finished();

private:
    void readAvailableLines();
    void finish();

    QString program_;
    std::chrono::milliseconds timeout_;
    QProcess process_;
    QTimer deadline_;
    QByteArray pendingLine_;
    bool finished_ = false;
};

// The host name in one line of `avahi-browse --parsable --resolve` output: the seventh field of a
// resolved ("=") line, with avahi's \ddd (decimal) and \c escapes undone. Nothing for other lines.
std::optional<QString> resolvedSmbHost(QByteArrayView line);

}  // namespace platform
