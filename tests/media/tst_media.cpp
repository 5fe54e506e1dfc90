#include "launchurls.h"
#include "logcapture.h"
#include "recordingdesktop.h"
#include "vlccontrols.h"

#include <QTest>

using namespace zc;
using namespace zc::test;

Q_DECLARE_METATYPE(QList<RunningApplication>)

class TestMedia : public QObject
{
    Q_OBJECT

    RecordingDesktop desktop;
    LogCapture capture;

private slots:
    void init()
    {
        desktop = RecordingDesktop();
        capture.clear();
    }

    void startVlc_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QList<RunningApplication>>("running");
        QTest::addColumn<QStringList>("log");
        QTest::addColumn<QStringList>("calls");

        const QList<RunningApplication> withVlc = {
            {"Files", true}, {"VLC", true}, {"Terminal", true}};
        QTest::newRow("already running: names listed, nothing launched")
            << "start_vlc" << withVlc << QStringList{"Files", "VLC", "Terminal"} << QStringList{};
        QTest::newRow("not running") << "start_vlc" << QList<RunningApplication>{{"Files", true}}
                                     << QStringList{"Files"} << QStringList{"launch VLC"};
        QTest::newRow("only a background VLC")
            << "start_vlc" << QList<RunningApplication>{{"VLC", false}} << QStringList{}
            << QStringList{"launch VLC"};
        QTest::newRow("name must match exactly")
            << "start_vlc" << QList<RunningApplication>{{"vlc", true}, {"VLC media player", true}}
            << QStringList{"vlc", "VLC media player"} << QStringList{"launch VLC"};
        for (const char *command :
             {"schedule_vlc_exit", "cancel_vlc_exit_schedule", "get_time_for_vlc_exit",
              "setup_vlc_web_interface", "START_VLC", ""})
            QTest::newRow(command) << QString::fromLatin1(command) << withVlc
                                   << QStringList{"Unknown VLC ommand"} << QStringList{};
    }

    void startVlc()
    {
        QFETCH(QString, command);
        QFETCH(QList<RunningApplication>, running);
        QFETCH(QStringList, log);
        QFETCH(QStringList, calls);
        desktop.applications = running;
        VlcControls(desktop, capture.log).handle(command);
        QCOMPARE(capture.lines(), log);
        QCOMPARE(desktop.calls, calls);
    }

    void launch_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<bool>("opened");

        for (const char *site : {"https://", "https://www.youtube.com", "https://www.netflix.com",
                                 "https://www.primevideo.com", "https://www.hulu.com",
                                 "https://www.hotstar.com", "https://www.hbo.com/"})
            QTest::newRow(site) << QString::fromLatin1(site) << true;
        for (const char *site :
             {"VLC", "https://www.hbo.com", "HTTPS://www.netflix.com", "https://www.netflix.com/",
              "https://www.netflix.com; reboot", "https://www.youtube.com/$(reboot)", "--help",
              "http://www.hulu.com", "file:///etc/passwd", "", "https://evil.example"})
            QTest::newRow(site) << QString::fromLatin1(site) << false;
    }

    void launch()
    {
        QFETCH(QString, address);
        QFETCH(bool, opened);
        LaunchUrls(desktop, capture.log).launch(address);
        if (opened) {
            QCOMPARE(desktop.calls, QStringList{"open " + address});
            QVERIFY(capture.lines().isEmpty());
        } else {
            QVERIFY(desktop.calls.isEmpty());
            QCOMPARE(capture.lines(), QStringList{"Unknown Command:  " + address});
        }
    }
};

QTEST_GUILESS_MAIN(TestMedia)
#include "tst_media.moc"
