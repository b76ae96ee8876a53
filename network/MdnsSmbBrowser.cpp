#include "MdnsSmbBrowser.h"

#include <QList>
#include <QStringList>
#include <utility>

namespace network {

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

QString unescapeAvahiField(QByteArrayView field) {
    QByteArray bytes;
    bytes.reserve(field.size());
    for (qsizetype i = 0; i < field.size(); ++i) {
        const char c = field.at(i);
        if (c != '\\' || i + 1 >= field.size()) {
            bytes.append(c);
        } else if (i + 3 < field.size() && isDigit(field.at(i + 1)) && isDigit(field.at(i + 2)) &&
                   isDigit(field.at(i + 3))) {
            const int value = (field.at(i + 1) - '0') * 100 + (field.at(i + 2) - '0') * 10 +
                              (field.at(i + 3) - '0');
            bytes.append(static_cast<char>(value));
            i += 3;
        } else {
            bytes.append(field.at(i + 1));
            ++i;
        }
    }
    return QString::fromUtf8(bytes);
}

}  // namespace

std::optional<QString> resolvedSmbHost(QByteArrayView line) {
    // A resolved line: =;interface;protocol;service name;type;domain;host name;address;port;txt
    const QList<QByteArray> fields = line.toByteArray().trimmed().split(';');
    constexpr int kHostField = 6;
    if (fields.size() <= kHostField || fields.at(0) != "=") {
        return std::nullopt;
    }
    QString host = unescapeAvahiField(fields.at(kHostField)).trimmed();
    if (host.endsWith(QLatin1Char('.'))) {
        host.chop(1);
    }
    if (host.isEmpty()) {
        return std::nullopt;
    }
    return host;
}

MdnsSmbBrowser::MdnsSmbBrowser(QString program, std::chrono::milliseconds timeout, QObject* parent)
    : QObject(parent), program_(std::move(program)), timeout_(timeout) {
    deadline_.setSingleShot(true);
    connect(&deadline_, &QTimer::timeout, this, [this] { process_.kill(); });
    connect(&process_, &QProcess::readyReadStandardOutput, this,
            &MdnsSmbBrowser::readAvailableLines);
    connect(&process_, &QProcess::finished, this,
            [this](int exitCode, QProcess::ExitStatus status) {
                readAvailableLines();
                // A last line without its newline is whole only when the program ended by itself.
                const QByteArray rest = std::exchange(pendingLine_, {});
                if (status == QProcess::NormalExit) {
                    if (const auto host = resolvedSmbHost(rest)) {
                        emit computerFound(*host);
                    }
                }
                // Stopped at the deadline counts as a search done; an exit code is the program's.
                finish(status == QProcess::NormalExit && exitCode != 0 ? Outcome::Failed
                                                                       : Outcome::Searched);
            });
    connect(&process_, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            finish(Outcome::ProgramMissing);
        }
    });
}

MdnsSmbBrowser::~MdnsSmbBrowser() {
    // QProcess kills and reaps the program as it goes; its last signals must not reach us.
    disconnect(&process_, nullptr, this, nullptr);
}

void MdnsSmbBrowser::start() {
    if (program_.isEmpty()) {
        finish(Outcome::ProgramMissing);
        return;
    }
    process_.setStandardInputFile(QProcess::nullDevice());
    process_.setStandardErrorFile(QProcess::nullDevice());
    process_.start(program_, {QStringLiteral("-t"), QStringLiteral("-r"), QStringLiteral("-p"),
                              QStringLiteral("_smb._tcp")});
    deadline_.start(timeout_);
}

void MdnsSmbBrowser::readAvailableLines() {
    pendingLine_ += process_.readAllStandardOutput();
    qsizetype end = 0;
    while ((end = pendingLine_.indexOf('\n')) >= 0) {
        const QByteArray line = pendingLine_.first(end);
        pendingLine_.remove(0, end + 1);
        if (const auto host = resolvedSmbHost(line)) {
            emit computerFound(*host);
        }
    }
}

void MdnsSmbBrowser::finish(Outcome outcome) {
    if (isFinished()) {
        return;
    }
    outcome_ = outcome;
    deadline_.stop();
    emit finished();
}

}  // namespace network
