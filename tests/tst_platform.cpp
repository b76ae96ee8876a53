// The real platform services: queued Alt+G, process start, the fatal-error guard, file access.
#include <fcntl.h>
#include <qpa/qwindowsysteminterface.h>
#include <unistd.h>
#include <QDir>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlatformSurfaceEvent>
#include <QPointer>
#include <QPushButton>
#include <QSemaphore>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>
#include <algorithm>
#include <csignal>
#include <memory>
#include <stdexcept>

#include "DetachedWork.h"
#include "FileSystem.h"
#include "GuardedApplication.h"
#include "KeySender.h"
#include "MessageBoxes.h"
#include "PlatformError.h"
#include "ProcessStarter.h"

namespace {

class ThrowingObject : public QObject {
public:
    bool event(QEvent* event) override {
        if (event->type() == QEvent::User) {
            throw std::runtime_error("the camera control failed");
        }
        return QObject::event(event);
    }
};

// Children of this process that have ended but were not waited for.
int zombieChildren() {
    int zombies = 0;
    const QString self = QString::number(QCoreApplication::applicationPid());
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
        if (!stat.open(QIODevice::ReadOnly)) {
            continue;
        }
        // pid (name) state ppid ...; the name may hold blanks, so read after the last ')'.
        const QByteArray line = stat.readAll();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1 && fields.at(0) == "Z" && fields.at(1) == self.toLatin1()) {
            ++zombies;
        }
    }
    return zombies;
}

}  // namespace

// Posts a Return to each message box as it is being shown, before it is on screen: a key typed
// ahead of the box.
class TypeAhead final : public QObject {
public:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show && qobject_cast<QMessageBox*>(watched) != nullptr) {
            for (const QEvent::Type type : {QEvent::KeyPress, QEvent::KeyRelease}) {
                QCoreApplication::postEvent(watched, new QKeyEvent(type, Qt::Key_Return, {}));
            }
        }
        return false;
    }
};

// The size a message box's window is made with.
class WindowCreation final : public QObject {
public:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::PlatformSurface &&
            static_cast<QPlatformSurfaceEvent*>(event)->surfaceEventType() ==
                QPlatformSurfaceEvent::SurfaceCreated) {
            if (const auto* window = qobject_cast<QWindow*>(watched)) {
                size = window->size();
            }
        }
        return false;
    }
    QSize size;
};

// Counts the key presses a widget receives.
class KeyCounter final : public QObject {
public:
    explicit KeyCounter(int& count) : count_(count) {}
    bool eventFilter(QObject*, QEvent* event) override {
        count_ += event->type() == QEvent::KeyPress ? 1 : 0;
        return false;
    }

private:
    int& count_;
};

// Drops mouse, key and shortcut input to every widget, as the station does during a capture.
class InputDropper final : public QObject {
public:
    bool eventFilter(QObject* watched, QEvent* event) override {
        const bool input = event->type() == QEvent::MouseButtonPress ||
                           event->type() == QEvent::MouseButtonRelease ||
                           event->type() == QEvent::KeyPress || event->type() == QEvent::Shortcut;
        return input && watched->isWidgetType();
    }
};

class TestPlatform : public QObject {
    Q_OBJECT
private slots:
    void altGPressesTheGetWoButtonAfterTheCurrentEvent_data() {
        QTest::addColumn<bool>("activeWindow");
        QTest::addColumn<bool>("hasButton");
        QTest::addColumn<bool>("inputBlocked");
        QTest::newRow("key to the active window") << true << true << false;
        // A desktop without a window manager marks no window active.
        QTest::newRow("no window active") << false << true << false;
        // The scan dialog already open: nothing has Alt+G there.
        QTest::newRow("window without the button") << true << false << false;
        // A capture in progress drops the operator's input; the program's own key goes too.
        QTest::newRow("input dropped, active window") << true << true << true;
        QTest::newRow("input dropped, no window active") << false << true << true;
    }
    void altGPressesTheGetWoButtonAfterTheCurrentEvent() {
        QFETCH(bool, activeWindow);
        QFETCH(bool, hasButton);
        QFETCH(bool, inputBlocked);
        QWidget window;
        auto* layout = new QVBoxLayout(&window);
        auto* field = new QLineEdit(&window);
        auto* getWo =
            new QPushButton(hasButton ? QStringLiteral("&Get Wo") : QStringLiteral("OK"), &window);
        layout->addWidget(field);
        layout->addWidget(getWo);
        int presses = 0;
        connect(getWo, &QPushButton::clicked, [&] { ++presses; });
        int keysInField = 0;
        KeyCounter counter(keysInField);
        field->installEventFilter(&counter);
        window.show();
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        field->setFocus();
        if (!activeWindow) {
            QWindowSystemInterface::handleWindowActivated<
                QWindowSystemInterface::SynchronousDelivery>(nullptr);
            QCOMPARE(QApplication::activeWindow(), nullptr);
        }

        InputDropper dropper;
        if (inputBlocked) {
            qApp->installEventFilter(&dropper);
        }
        platform::QueuedKeySender keys;
        keys.sendAltG();
        QCOMPARE(presses, 0);
        if (inputBlocked) {
            QTest::qWait(600);  // well past the moment the button would be pressed directly
            QCOMPARE(presses, 0);
        } else if (hasButton) {
            QTRY_COMPARE(presses, 1);
        } else {
            QTRY_COMPARE(keysInField, 1);
        }
        // The keystroke went through the shortcut, or nowhere, but never into the focused field.
        QCOMPARE(field->text(), QString());
    }

    void realMessageBoxes_data() {
        QTest::addColumn<bool>("question");
        QTest::addColumn<QString>("answer");
        QTest::addColumn<bool>("yes");
        QTest::newRow("notice, Return") << false << QStringLiteral("return") << false;
        QTest::newRow("question, Return is Yes") << true << QStringLiteral("return") << true;
        QTest::newRow("question, click on No at once") << true << QStringLiteral("no") << false;
        QTest::newRow("question, Return typed ahead is dropped")
            << true << QStringLiteral("typed ahead") << true;
        QTest::newRow("question, repeats of a held Return are dropped")
            << true << QStringLiteral("held") << true;
    }
    void realMessageBoxes() {
        QFETCH(bool, question);
        QFETCH(QString, answer);
        QFETCH(bool, yes);
        const QString text = question ? QStringLiteral("Take Picture")
                                      : QStringLiteral("Error:\r\nThe scan gave 9 characters");
        TypeAhead typeAhead;
        if (answer == QStringLiteral("typed ahead")) {
            qApp->installEventFilter(&typeAhead);
        }
        // The station's main window is not shown yet at the first question, and none is active.
        QWidget mainWindow;
        WindowCreation creation;
        qApp->installEventFilter(&creation);
        QPointer<QMessageBox> seen;
        bool owned = false;
        bool madeAtNaturalSize = false;
        bool repeatIgnored = true;
        bool lateReturnSent = false;
        QTimer poll;
        poll.setInterval(10);
        connect(&poll, &QTimer::timeout, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr || !box->isVisible() || box == seen) {
                return;
            }
            seen = box;
            // Owned, and made at its natural size: a kiosk compositor stretches a box without
            // an owner and does not let a shown one resize itself.
            owned = box->parentWidget() == &mainWindow;
            madeAtNaturalSize = creation.size == box->size();
            QCOMPARE(box->icon(), QMessageBox::NoIcon);
            QCOMPARE(box->text(), text);
            if (question) {
                QCOMPARE(box->windowTitle(), QStringLiteral("Take Picture"));
                QCOMPARE(box->standardButtons(), QMessageBox::Yes | QMessageBox::No);
                QCOMPARE(box->defaultButton(), box->button(QMessageBox::Yes));
            } else {
                QCOMPARE(box->windowTitle(), QApplication::applicationDisplayName());
                QCOMPARE(box->standardButtons(), QMessageBox::Ok);
            }
            if (answer == QStringLiteral("no")) {
                QTest::mouseClick(box->button(QMessageBox::No), Qt::LeftButton);
                return;
            }
            // An operator's Return comes well after the box appeared.
            QTimer::singleShot(platform::QtMessageBoxes::kTypeAheadMs + 300, box, [&, box] {
                if (answer == QStringLiteral("held")) {
                    QKeyEvent repeat(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier,
                                     QStringLiteral("\r"), true);
                    QApplication::sendEvent(box->focusWidget(), &repeat);
                    repeatIgnored = box->isVisible();
                }
                lateReturnSent = true;
                QTest::keyClick(box->focusWidget() != nullptr ? box->focusWidget() : box,
                                Qt::Key_Return);
            });
        });
        poll.start();
        platform::QtMessageBoxes boxes;
        bool answeredYes = false;
        if (question) {
            answeredYes = boxes.ask(text, QStringLiteral("Take Picture"));
        } else {
            boxes.show(text);
        }
        QCOMPARE(answeredYes, yes);
        QVERIFY(owned);
        QVERIFY(madeAtNaturalSize);
        QVERIFY(repeatIgnored);
        // Only the Return pressed once the box was on screen answered it.
        QCOMPARE(lateReturnSent, answer != QStringLiteral("no"));
    }

    void startedProgramRunsOnItsOwn() {
        QTemporaryDir dir;
        const QString marker = dir.filePath(QStringLiteral("made by child"));
        platform::DetachedProcessStarter starter;
        starter.start(QStringLiteral("sh"),
                      {QStringLiteral("-c"), QStringLiteral("echo ok > \"$0\""), marker});
        QTRY_VERIFY(QFile::exists(marker));
        // The finished child is reaped in the background: no zombie stays behind.
        QTRY_COMPARE_WITH_TIMEOUT(zombieChildren(), 0, 5000);
    }

    void compressorSeesOnlyStandardDescriptors() {
        QTemporaryDir dir;
        const QString listing = dir.filePath(QStringLiteral("descriptors"));
        // Opened the way the camera library opens its sockets: without close-on-exec.
        const int leaked = ::open("/dev/null", O_RDONLY);  // NOLINT(android-cloexec-open)
        QVERIFY(leaked > STDERR_FILENO);
        platform::DetachedProcessStarter starter;
        bool ended = false;
        starter.setFinishedHandler([&](const platform::ProcessEnd&) { ended = true; });
        // find opens the listing itself, so it lists the shell's descriptors as it got them.
        starter.start(QStringLiteral("sh"),
                      {QStringLiteral("-c"),
                       QStringLiteral("find /proc/$$/fd -mindepth 1 -fprintf \"$0\" '%f\\n'; true"),
                       listing});
        ::close(leaked);
        QTRY_VERIFY_WITH_TIMEOUT(ended, 10000);
        QFile file(listing);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromLatin1(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts),
                 (QStringList{QStringLiteral("0"), QStringLiteral("1"), QStringLiteral("2")}));
    }

    void endedProgramsReportHowTheyEnded_data() {
        QTest::addColumn<QString>("script");
        QTest::addColumn<int>("exitStatus");
        QTest::addColumn<int>("signal");
        QTest::newRow("success") << QStringLiteral("exit 0") << 0 << 0;
        QTest::newRow("exit status 3") << QStringLiteral("exit 3") << 3 << 0;
        QTest::newRow("killed") << QStringLiteral("kill -KILL $$") << 0 << SIGKILL;
        QTest::newRow("runs 3 s") << QStringLiteral("sleep 3; exit 3") << 3 << 0;
    }
    void endedProgramsReportHowTheyEnded() {
        QFETCH(QString, script);
        QFETCH(int, exitStatus);
        QFETCH(int, signal);
        platform::DetachedProcessStarter starter;
        QList<platform::ProcessEnd> ends;
        starter.setFinishedHandler([&](const platform::ProcessEnd& end) { ends.append(end); });
        // The event loop keeps turning while a program runs: nothing waits for it.
        QElapsedTimer sinceTick;
        qint64 longestPause = 0;
        int ticks = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, [&] {
            longestPause = std::max(longestPause, sinceTick.restart());
            ++ticks;
        });
        sinceTick.start();
        ticker.start(20);
        const qint64 id = starter.start(QStringLiteral("sh"), {QStringLiteral("-c"), script});
        QTRY_COMPARE_WITH_TIMEOUT(ends.size(), 1, 20000);
        // One more tick measures the pause up to the report, if the reaper blocked.
        const int ticksAtEnd = ticks;
        QTRY_VERIFY(ticks > ticksAtEnd);
        QCOMPARE(ends.first().id, id);
        QCOMPARE(ends.first().exitStatus, exitStatus);
        QCOMPARE(ends.first().signal, signal);
        QCOMPARE(ends.first().succeeded(), exitStatus == 0 && signal == 0);
        QVERIFY2(longestPause < 1000, qPrintable(QString::number(longestPause)));
        QCOMPARE(zombieChildren(), 0);
    }

    void programsThatCannotStartAreNamed_data() {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("reason");
        QTest::newRow("missing") << QStringLiteral("/opt/none/compress")
                                 << QStringLiteral("was not found");
        QTest::newRow("not on PATH")
            << QStringLiteral("no-such-compressor-xyz") << QStringLiteral("was not found");
        QTest::newRow("folder") << QStringLiteral("/tmp")
                                << QStringLiteral("is not an executable program");
        QTest::newRow("empty") << QString() << QStringLiteral("no program is named");
    }
    void programsThatCannotStartAreNamed() {
        QFETCH(QString, program);
        QFETCH(QString, reason);
        platform::DetachedProcessStarter starter;
        try {
            starter.start(program, {});
            QFAIL("started a program that cannot run");
        } catch (const platform::ProcessStartError& error) {
            QVERIFY2(error.message().contains(reason), qPrintable(error.message()));
            QVERIFY(error.message().contains(program));
        }
    }

    void escapedExceptionIsReportedNotCrashed() {
        auto* app = qobject_cast<platform::GuardedApplication*>(QCoreApplication::instance());
        QVERIFY(app != nullptr);
        QStringList reports;
        app->setFatalReporter([&](const QString& text) { reports.append(text); });
        ThrowingObject target;
        QCoreApplication::postEvent(&target, new QEvent(QEvent::User));
        QTRY_COMPARE(reports, QStringList{QStringLiteral("the camera control failed")});
    }

    void fileAccess() {
        QTemporaryDir dir;
        platform::LocalFileSystem files;
        const QString path = dir.filePath(QStringLiteral("CLR_1_01.BMP"));
        QVERIFY(!files.fileExists(path));
        QVERIFY(!files.fileExists(dir.path()));
        QVERIFY(files.removeFile(path).has_value());
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        QVERIFY(files.fileExists(path));
        QCOMPARE(files.removeFile(path), std::nullopt);
        QVERIFY(!QFile::exists(path));
    }

    void fileWorkReusesThreadsAndNeverWaitsForAStuckOne() {
        const int runningBefore = platform::detachedWorkRunning().load();
        // As a write to a stalled share: it ends only when the test lets it.
        const auto stall = std::make_shared<QSemaphore>(0);
        const QFuture<void> stuck = platform::runDetached([stall] { stall->acquire(); });
        QSet<pid_t> threads;
        for (int i = 0; i < 20; ++i) {
            QFuture<pid_t> next = platform::runDetached([] { return gettid(); });
            QTRY_VERIFY_WITH_TIMEOUT(next.isFinished(), 5000);
            threads.insert(next.result());
            QTRY_COMPARE(platform::detachedWorkRunning().load(), runningBefore + 1);
        }
        QVERIFY(!stuck.isFinished());
        QVERIFY2(threads.size() <= 2, qPrintable(QString::number(threads.size())));
        stall->release();
        QTRY_COMPARE(platform::detachedWorkRunning().load(), runningBefore);
    }

    void resultsReachOnlyAContextThatIsStillThere() {
        const int runningBefore = platform::detachedWorkRunning().load();
        QObject context;
        auto gone = std::make_unique<QObject>();
        const auto gate = std::make_shared<QSemaphore>(0);
        QStringList delivered;
        const auto deliver = [&](const QString& what) {
            delivered << what + (QThread::currentThread() == thread() ? "" : " elsewhere");
        };
        platform::runDetachedThen(
            &context, [] { return QStringLiteral("read"); }, deliver);
        platform::runDetachedThen(
            gone.get(),
            [gate] {
                gate->acquire();
                return QStringLiteral("late");
            },
            deliver);
        QTest::ignoreMessage(QtWarningMsg, "work off the window's thread failed: share gone");
        platform::runDetachedThen(
            &context, []() -> QString { throw std::runtime_error("share gone"); }, deliver);
        gone.reset();
        gate->release();
        QTRY_COMPARE(platform::detachedWorkRunning().load(), runningBefore);
        QTest::qWait(50);
        QCOMPARE(delivered, QStringList{"read"});
    }
};

int main(int argc, char** argv) {
    platform::GuardedApplication app(argc, argv);
    TestPlatform test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_platform.moc"
