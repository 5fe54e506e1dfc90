// The uinput backend's event groups, against a recording device and, where the kernel has uinput
// and the user may write to it, against the kernel's own device read back through evdev
// (tests/platform/uinput/guest_test.sh runs this in a virtual machine whose kernel has it).

#include "linux/uinputinput.h"
#include "logcapture.h"

#include <QDir>
#include <QFile>
#include <QSocketNotifier>
#include <QTest>

#include <libevdev/libevdev.h>
#include <linux/input-event-codes.h>

#include <fcntl.h>
#include <unistd.h>

using namespace zc;
using namespace zc::test;

namespace {

QString describe(std::uint16_t type, std::uint16_t code, std::int32_t value)
{
    return QStringLiteral("%1 %2")
        .arg(QLatin1String(libevdev_event_code_get_name(type, code)))
        .arg(value);
}

class RecordingDevice final : public IUinputDevice
{
public:
    RecordingDevice(QStringList &groups, int &writesBeforeFailure)
        : m_groups(groups), m_writesBeforeFailure(writesBeforeFailure)
    {}

    std::optional<QString> write(std::span<const UinputEvent> events) override
    {
        if (m_writesBeforeFailure-- == 0)
            return QStringLiteral("No such device");
        QStringList items;
        for (const UinputEvent &event : events)
            items.append(describe(event.type, event.code, event.value));
        m_groups.append(items.join(u' '));
        return std::nullopt;
    }

private:
    QStringList &m_groups;
    int &m_writesBeforeFailure;
};

// The groups of the device that appears after construction, read as they arrive and grabbed,
// so that a desktop running on this machine sees none of them.
class EvdevReader
{
public:
    static QStringList nodes()
    {
        return QDir(QStringLiteral("/dev/input")).entryList({"event*"}, QDir::System);
    }

    // Called again once open: QTRY_VERIFY evaluates its condition a last time.
    bool open(const QStringList &before)
    {
        if (m_device)
            return true;
        for (const QString &node : nodes()) {
            if (before.contains(node))
                continue;
            const int fd = ::open(QFile::encodeName("/dev/input/" + node).constData(),
                                  O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0)
                continue;
            if (libevdev_new_from_fd(fd, &m_device) == 0 &&
                qstrcmp(libevdev_get_name(m_device), uinputDeviceName) == 0 &&
                libevdev_grab(m_device, LIBEVDEV_GRAB) == 0) {
                m_fd = fd;
                m_notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
                QObject::connect(m_notifier.get(), &QSocketNotifier::activated, [this] { read(); });
                return true;
            }
            libevdev_free(std::exchange(m_device, nullptr));
            ::close(fd);
        }
        return false;
    }

    ~EvdevReader()
    {
        m_notifier.reset();
        if (m_device)
            libevdev_free(m_device);
        if (m_fd >= 0)
            ::close(m_fd);
    }

    QStringList groups()
    {
        read();
        return m_groups;
    }

private:
    void read()
    {
        input_event event;
        while (libevdev_next_event(m_device, LIBEVDEV_READ_FLAG_NORMAL, &event) ==
               LIBEVDEV_READ_STATUS_SUCCESS) {
            if (event.type == EV_SYN && event.code == SYN_REPORT) {
                m_groups.append(m_pending.join(u' '));
                m_pending.clear();
            } else {
                // SYN_DROPPED among them tells of a reader that fell behind.
                m_pending.append(describe(event.type, event.code, event.value));
            }
        }
    }

    libevdev *m_device = nullptr;
    int m_fd = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
    QStringList m_groups;
    QStringList m_pending;
};

QStringList tap(const char *key)
{
    return {QStringLiteral("%1 1").arg(QLatin1String(key)),
            QStringLiteral("%1 0").arg(QLatin1String(key))};
}

QStringList withModifier(const char *modifier, const char *key)
{
    return QStringList{QStringLiteral("%1 1").arg(QLatin1String(modifier))} + tap(key) +
           QStringList{QStringLiteral("%1 0").arg(QLatin1String(modifier))};
}

QStringList times(int count, const QStringList &groups)
{
    QStringList result;
    for (int i = 0; i < count; ++i)
        result += groups;
    return result;
}

std::unique_ptr<XkbKeymap> keymapFor(const QString &layout)
{
    QString failure;
    XkbKeymap::Names names;
    names.layout = layout;
    return layout.isEmpty() ? nullptr : XkbKeymap::fromNames(names, failure);
}

// Runs "move X Y", "button CODE 0|1", "key CODE 0|1", "scroll V H", "text:TEXT", "release" and
// "destroy"; what typing returns goes to the log.
void run(std::unique_ptr<UinputInput> &input, const QStringList &operations, Log &log)
{
    for (const QString &operation : operations) {
        const QStringList words = operation.split(u' ');
        if (operation.startsWith(u"text:")) {
            if (const std::optional<QString> failure = input->typeText(operation.sliced(5)))
                log.line(*failure);
        } else if (words[0] == u"move") {
            input->movePointerBy({words[1].toInt(), words[2].toInt()});
        } else if (words[0] == u"button") {
            input->button(EvdevKey(words[1].toUInt()), words[2] == u"1");
        } else if (words[0] == u"key") {
            input->key(EvdevKey(words[1].toUInt()), words[2] == u"1");
        } else if (words[0] == u"scroll") {
            input->scroll(words[1].toInt(), words[2].toInt());
        } else if (words[0] == u"release") {
            input->releaseAll();
        } else if (words[0] == u"destroy") {
            input.reset();
        }
    }
}

} // namespace

class TestUinputInput : public QObject
{
    Q_OBJECT

    LogCapture capture;

private slots:
    void init() { capture.clear(); }

    void groups_data()
    {
        QTest::addColumn<QString>("layout");
        QTest::addColumn<QStringList>("operations");
        QTest::addColumn<QStringList>("groups");
        QTest::addColumn<QStringList>("log");

        // The kernel drops an axis that does not move.
        QTest::newRow("moves") << "us"
                               << QStringList{"move 5 -3", "move 0 7", "move -2 0", "move 0 0"}
                               << QStringList{"REL_X 5 REL_Y -3", "REL_Y 7", "REL_X -2"}
                               << QStringList{};
        QTest::newRow("double click")
            << "us" << QStringList{"button 272 1", "button 272 0", "button 272 1",
                                   "button 272 0", "button 273 1", "button 273 0"}
            << times(2, tap("BTN_LEFT")) + tap("BTN_RIGHT") << QStringList{};
        // The notches of an axis in one group, down and to the right as positive steps; the
        // kernel's wheel counts up. A group a notch would overflow the reader's 128 events.
        QTest::newRow("wheel down, right") << "us" << QStringList{"scroll 2 1"}
                                           << QStringList{"REL_WHEEL -2 REL_WHEEL_HI_RES -240",
                                                          "REL_HWHEEL 1 REL_HWHEEL_HI_RES 120"}
                                           << QStringList{};
        QTest::newRow("wheel up, left") << "us" << QStringList{"scroll -1 -1"}
                                        << QStringList{"REL_WHEEL 1 REL_WHEEL_HI_RES 120",
                                                       "REL_HWHEEL -1 REL_HWHEEL_HI_RES -120"}
                                        << QStringList{};
        QTest::newRow("a hundred notches each way")
            << "us" << QStringList{"scroll -100 -100", "scroll 100 100"}
            << QStringList{"REL_WHEEL 100 REL_WHEEL_HI_RES 12000",
                           "REL_HWHEEL -100 REL_HWHEEL_HI_RES -12000",
                           "REL_WHEEL -100 REL_WHEEL_HI_RES -12000",
                           "REL_HWHEEL 100 REL_HWHEEL_HI_RES 12000"}
            << QStringList{};
        QTest::newRow("shortcut") << "us"
                                  << QStringList{"key 29 1", "key 46 1", "key 46 0", "key 29 0"}
                                  << withModifier("KEY_LEFTCTRL", "KEY_C") << QStringList{};
        QTest::newRow("unknown key, release of a key not held")
            << "us" << QStringList{"key 240 1", "key 240 0", "key 30 0", "button 275 1"}
            << QStringList{} << QStringList{"The uinput device has no key for Linux key 240"};
        QTest::newRow("text on us")
            << "us" << QStringList{"text:aA1!\n\t"}
            << tap("KEY_A") + withModifier("KEY_LEFTSHIFT", "KEY_A") + tap("KEY_1") +
                   withModifier("KEY_LEFTSHIFT", "KEY_1") + tap("KEY_ENTER") + tap("KEY_TAB")
            << QStringList{};
        QTest::newRow("text on de")
            << "de" << QStringList{QString::fromUtf8("text:yz@ä")}
            << tap("KEY_Z") + tap("KEY_Y") + withModifier("KEY_RIGHTALT", "KEY_Q") +
                   tap("KEY_APOSTROPHE")
            << QStringList{};
        QTest::newRow("a character off the layout")
            << "us" << QStringList{QString::fromUtf8("text:a中b")} << tap("KEY_A") + tap("KEY_B")
            << QStringList{"1 characters not typed: the keyboard layout English (US) has no key "
                           "for them"};
        QTest::newRow("no layout") << "" << QStringList{"text:a\n"} << tap("KEY_ENTER")
                                   << QStringList{"1 characters not typed: no layout here"};
        // Sixteen characters a run; the pointer goes ahead of the rest, except the button that
        // needs the Control behind the text.
        QTest::newRow("long text in runs")
            << "us"
            << QStringList{"text:" + QString(40, u'a'), "move 1 0", "key 29 1", "button 272 1",
                           "move 2 0"}
            << times(16, tap("KEY_A")) + QStringList{"REL_X 1"} + times(24, tap("KEY_A")) +
                   QStringList{"KEY_LEFTCTRL 1", "BTN_LEFT 1", "REL_X 2"}
            << QStringList{};
        // A release of a key not held writes nothing, in the kernel's test too. The click does
        // not wait for the Control that was dropped.
        QTest::newRow("operations beyond the bound behind a text are dropped")
            << "us"
            << QStringList{"text:" + QString(17, u'a')} + QStringList(10000, "key 30 0") +
                   QStringList{"key 29 1", "key 29 0", "button 272 1"}
            << times(16, tap("KEY_A")) + QStringList{"BTN_LEFT 1"} + tap("KEY_A")
            << QStringList{"Input dropped: 10000 operations waiting behind the text"};
        QTest::newRow("release during a text")
            << "us"
            << QStringList{"button 272 1", "key 29 1", "text:" + QString(20, u'a'), "key 30 1",
                           "release"}
            << QStringList{"BTN_LEFT 1", "KEY_LEFTCTRL 1"} + times(16, tap("KEY_A")) +
                   QStringList{"KEY_LEFTCTRL 0", "BTN_LEFT 0"}
            << QStringList{"Typing stopped, 4 characters not typed"};
        QTest::newRow("destruction releases")
            << "us" << QStringList{"key 42 1", "button 273 1", "destroy"}
            << QStringList{"KEY_LEFTSHIFT 1", "BTN_RIGHT 1", "KEY_LEFTSHIFT 0", "BTN_RIGHT 0"}
            << QStringList{};
    }

    void groups()
    {
        QFETCH(QString, layout);
        QFETCH(QStringList, operations);
        QFETCH(QStringList, groups);
        QFETCH(QStringList, log);
        QStringList written;
        int writesBeforeFailure = -1;
        auto input = std::make_unique<UinputInput>(
            [&](const std::vector<EvdevKey> &, QString &) {
                return std::make_unique<RecordingDevice>(written, writesBeforeFailure);
            },
            keymapFor(layout), QStringLiteral("no layout here"), capture.log);
        run(input, operations, capture.log);
        QTRY_COMPARE(written, groups);
        QCOMPARE(capture.lines(), log);
    }

    // The same groups through the kernel, with a SYN_REPORT after each.
    void kernelDevice_data() { groups_data(); }

    void kernelDevice()
    {
        if (!uinputWritable())
            QSKIP("/dev/uinput is absent or not writable: this kernel has no uinput, or this user "
                  "may not use it");
        QFETCH(QString, layout);
        QFETCH(QStringList, operations);
        QFETCH(QStringList, groups);
        QFETCH(QStringList, log);
        if (operations.contains(u"destroy"))
            QSKIP("a device that is gone cannot be read");
        const QStringList before = EvdevReader::nodes();
        auto input = std::make_unique<UinputInput>(&openUinputDevice, keymapFor(layout),
                                                   QStringLiteral("no layout here"), capture.log);
        QCOMPARE(input->unavailableReason(), QString());
        EvdevReader reader;
        QTRY_VERIFY(reader.open(before));
        run(input, operations, capture.log);
        QTRY_COMPARE(reader.groups(), groups);
        QCOMPARE(capture.lines(), log);
    }

    // The program's own route: the layout of /etc/default/keyboard types the text.
    void openedForTheProgram()
    {
        if (!uinputWritable())
            QSKIP("/dev/uinput is absent or not writable: this kernel has no uinput, or this user "
                  "may not use it");
        QFile file(QStringLiteral("/etc/default/keyboard"));
        const XkbKeymap::Names names = zc::keyboardConfiguration(
            file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray());
        QString failure;
        const std::unique_ptr<XkbKeymap> keymap = XkbKeymap::fromNames(names, failure);
        QVERIFY2(keymap, qPrintable(failure));
        const std::optional<KeyStroke> y = keymap->strokeFor(*keymap->keysymFor(U'y'));
        QVERIFY(y && y->modifiers.empty());

        const QStringList before = EvdevReader::nodes();
        std::unique_ptr<ILinuxInput> input = openUinputInput(capture.log, failure);
        QVERIFY2(input, qPrintable(failure));
        QCOMPARE(capture.lines(),
                 QStringList{"Text typed through uinput with the keyboard layout " +
                             keymap->layoutName()});
        EvdevReader reader;
        QTRY_VERIFY(reader.open(before));
        input->movePointerBy({3, 4});
        input->button(BTN_LEFT, true);
        input->button(BTN_LEFT, false);
        QCOMPARE(input->typeText(u"y"), std::nullopt);
        const QString key = QLatin1String(libevdev_event_code_get_name(EV_KEY, y->key));
        QTRY_COMPARE(reader.groups(), QStringList({"REL_X 3 REL_Y 4", "BTN_LEFT 1", "BTN_LEFT 0",
                                                   key + " 1", key + " 0"}));
    }

    // A failed write gives the device up, says so once and leaves the rest unwritten, until a
    // restart creates it again; at destruction it says nothing to the owner.
    void writeFailure()
    {
        QStringList written;
        int writesBeforeFailure = 1;
        int opened = 0;
        int stateChanges = 0;
        auto input = std::make_unique<UinputInput>(
            [&](const std::vector<EvdevKey> &keys,
                QString &failure) -> std::unique_ptr<IUinputDevice> {
                if (!std::binary_search(keys.cbegin(), keys.cend(), EvdevKey(KEY_PLAYPAUSE)) ||
                    ++opened == 2) {
                    failure = QStringLiteral("Permission denied");
                    return nullptr;
                }
                return std::make_unique<RecordingDevice>(written, writesBeforeFailure);
            },
            nullptr, QString(), capture.log);
        input->setStateHandler([&] { ++stateChanges; });
        input->key(KEY_A, true);
        input->key(KEY_A, false);
        input->movePointerBy({1, 1});
        QCOMPARE(input->state(), InputState::Unavailable);
        QCOMPARE(input->unavailableReason(),
                 QStringLiteral("writing to the uinput device failed: No such device"));
        QCOMPARE(input->typeText(u"\n"),
                 QStringLiteral("Writing to the uinput device failed: No such device"));
        input->restart();
        QCOMPARE(input->state(), InputState::Unavailable);
        input->restart();
        QCOMPARE(input->state(), InputState::Ready);
        writesBeforeFailure = -1;
        input->movePointerBy({1, 1});
        QCOMPARE(stateChanges, 2);
        QCOMPARE(written, QStringList({"KEY_A 1", "REL_X 1 REL_Y 1"}));
        QCOMPARE(capture.lines(),
                 QStringList({"Mouse and keyboard input stopped: writing to the uinput device "
                              "failed: No such device",
                              "The uinput device could not be created again: Permission denied"}));
        // The owner goes away with the backend: a release that fails then calls nothing back.
        input->key(KEY_B, true);
        writesBeforeFailure = 0;
        input.reset();
        QCOMPARE(stateChanges, 2);
    }

    void keyboardConfiguration_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QStringList>("names");
        QTest::newRow("Debian's file")
            << QByteArray("# KEYBOARD CONFIGURATION FILE\n\nXKBMODEL=\"pc105\"\nXKBLAYOUT=\"de\"\n"
                          "XKBVARIANT=\"nodeadkeys\"\nXKBOPTIONS=\"compose:ralt\"\n\n"
                          "BACKSPACE=\"guess\"\n")
            << QStringList{"pc105", "de", "nodeadkeys", "compose:ralt"};
        QTest::newRow("unquoted and single quotes")
            << QByteArray("  XKBLAYOUT='fr'\nXKBVARIANT=oss\n#XKBMODEL=x\n")
            << QStringList{"", "fr", "oss", ""};
        QTest::newRow("none") << QByteArray("XKBVARIANT=\"intl\"") << QStringList{"", "us", "", ""};
    }

    void keyboardConfiguration()
    {
        QFETCH(QByteArray, text);
        QFETCH(QStringList, names);
        const XkbKeymap::Names read = zc::keyboardConfiguration(text);
        QCOMPARE(QStringList({read.model, read.layout, read.variant, read.options}), names);
    }
};

QTEST_GUILESS_MAIN(TestUinputInput)
#include "tst_uinputinput.moc"
