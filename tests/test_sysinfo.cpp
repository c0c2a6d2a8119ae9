#include "link/frame_trace.h"
#include "link/simulated_board.h"
#include "link/stop_signals.h"
#include "panel/window/control_panel_window.h"
#include "sysinfo/registry.h"
#include "sysinfo/system_tools.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString Unavailable = QStringLiteral("System Information Is Unavailable At This Time");

// A registry-export string literal for a path.
QByteArray quoted(QString path) {
    return '"' + path.replace('\\', "\\\\").replace('"', "\\\"").toLocal8Bit() + '"';
}

const QByteArray MsinfoKey = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Shared Tools\\MSINFO]\n";

// A store whose first lookup, "PATH", holds data (as written after the "=").
QByteArray pathStore(const QByteArray &data) {
    return "REGEDIT4\n" + MsinfoKey + "\"PATH\"=" + data + "\n";
}

// The second lookup's key, naming folder.
QByteArray locationKey(const QString &folder) {
    return "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Shared Tools Location]\n\"MSINFO\"=" +
           quoted(folder) + "\n";
}

// A text as a UTF-16 export holds it, after its byte-order mark.
QByteArray utf16File(const QByteArray &text) {
    const QString wide = QString::fromLocal8Bit(text);
    return "\xFF\xFE" + QByteArray(reinterpret_cast<const char *>(wide.utf16()), wide.size() * 2);
}

// Text as a UTF-16 export writes hex(1) data: UTF-16LE bytes ending in a zero
// character, 24 bytes a line.
QByteArray utf16Hex(const QString &text) {
    const QByteArray bytes =
        QByteArray(reinterpret_cast<const char *>(text.utf16()), text.size() * 2) +
        QByteArray(2, 0);
    QByteArray hex;
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        hex += QByteArray::number(uchar(bytes[i]), 16).rightJustified(2, '0');
        if (i + 1 < bytes.size())
            hex += i % 24 == 23 ? ",\\\r\n  " : ",";
    }
    return hex;
}

// A store padded with comment lines to size bytes.
QByteArray padded(QByteArray store, qsizetype size) {
    while (store.size() < size) {
        const qsizetype piece = std::min<qsizetype>(size - store.size(), 60000);
        store += piece == 1 ? QByteArray("\n") : "\n;" + QByteArray(piece - 2, 'x');
    }
    return store;
}

// How a row's store file is put in place.
enum Setup {
    AsWritten,
    Utf16,
    AtCap,
    OverCap,
    WorldWritable,
    FolderGroupWritable,
    OtherOwner,
    Fifo,
    Symlink,
    Directory
};

// The current folder and $PATH for one test, put back afterwards.
class Surroundings {
public:
    Surroundings(const QString &folder, const QString &pathFolder)
        : m_folder(QDir::currentPath())
        , m_path(qgetenv("PATH")) {
        QDir::setCurrent(folder);
        qputenv("PATH", pathFolder.toLocal8Bit() + ':' + m_path);
    }
    ~Surroundings() {
        QDir::setCurrent(m_folder);
        qputenv("PATH", m_path);
    }

private:
    QString m_folder;
    QByteArray m_path;
};

} // namespace

class SysInfoTest : public QObject {
    Q_OBJECT

private slots:
    void init();

    void firstValueStartedUnchanged();
    void firstValueNamesNoFile();
    void secondLookupFindsToolInFolder_data();
    void secondLookupFindsToolInFolder();
    void firstValueOfAnotherTypeLeavesPathEmpty();
    void embeddedZeroEndsTheValue();
    void bufferLimits_data();
    void bufferLimits();
    void numberValueAppendsHexDigits();
    void readOnlyStoreWorks();
    void pathWithShellCharactersStartedLiterally();
    void builtInValueWithoutStore();
    void badStores_data();
    void badStores();
    void storeFiles_data();
    void storeFiles();
    void protectedStores_data();
    void protectedStores();
    void utf16TextTypesBecomeLocalText();
    void fileTestMatchesRegularVisibleFilesOnly();
    void startedToolInheritsNoDescriptor();

private:
    // A program that proves it was started by writing a marker file.
    QString makeTool(const QString &path);
    bool toolStarted() { return QFile::exists(m_marker); }
    void writeStore(const QByteArray &body, const QString &path = {});
    void putStore(QByteArray body, Setup setup);
    void launch();
    bool lookUpPath(QString &value);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<Registry> m_registry;
    std::unique_ptr<QuorvexControlPanel> m_window;
    QString m_store;
    QString m_marker;
    QStringList m_messages;
};

void SysInfoTest::init() {
    m_dir = std::make_unique<QTemporaryDir>();
    m_store = m_dir->filePath("system.reg");
    m_marker = m_dir->filePath("started");
    m_messages.clear();
    m_window = std::make_unique<QuorvexControlPanel>();
    m_registry = std::make_unique<Registry>(m_store.toStdString(),
                                            std::vector{m_dir->filePath("bin").toStdString()});
    m_window->setRegistry(*m_registry);
    m_window->setMessagePresenter([this](const QString &text) { m_messages << text; });
}

QString SysInfoTest::makeTool(const QString &path) {
    QDir().mkpath(QFileInfo(path).path());
    QFile tool(path);
    if (!tool.open(QIODevice::WriteOnly))
        return {};
    // The marker appears whole, listing the descriptors the tool was given
    // and the signals it started with held back. The mask is read by the
    // shell itself before it forks: dash blocks every signal around a fork
    // and clears its mask after one, so a later reading says nothing.
    const QByteArray marker = m_marker.toLocal8Bit();
    tool.write("#!/bin/sh\nwhile IFS= read -r line; do case $line in SigBlk:*) held=$line;; esac; "
               "done < /proc/$$/status\n{ echo started; ls -l /proc/$$/fd; echo \"$held\"; } > '" +
               marker + ".part' && mv '" + marker + ".part' '" + marker + "'\n");
    tool.close();
    tool.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return path;
}

void SysInfoTest::writeStore(const QByteArray &body, const QString &path) {
    QFile file(path.isEmpty() ? m_store : path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(body);
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup |
                        QFileDevice::ReadOther);
}

void SysInfoTest::putStore(QByteArray body, Setup setup) {
    const QByteArray store = m_store.toLocal8Bit();
    switch (setup) {
    case Fifo:
        QCOMPARE(::mkfifo(store.constData(), 0644), 0);
        return;
    case Directory:
        QVERIFY(QDir().mkdir(m_store));
        return;
    case Symlink: {
        // A good store elsewhere, swapped in as a link.
        const QString real = m_dir->filePath("real.reg");
        writeStore(body, real);
        QVERIFY(QFile::link(real, m_store));
        return;
    }
    case Utf16:
        body = utf16File(body);
        break;
    case AtCap:
    case OverCap:
        body = padded(body, qsizetype(MaxStoreSize) + (setup == OverCap));
        break;
    default:
        break;
    }
    writeStore(body);
    if (setup == WorldWritable)
        QCOMPARE(::chmod(store.constData(), 0646), 0);
    if (setup == FolderGroupWritable)
        QCOMPARE(::chmod(QFile::encodeName(m_dir->path()).constData(), 0775), 0);
    if (setup == OtherOwner)
        QCOMPARE(::chown(store.constData(), 4242, gid_t(-1)), 0);
}

void SysInfoTest::launch() {
    m_window->systemInfo()->trigger();
}

bool SysInfoTest::lookUpPath(QString &value) {
    HKEY root = HKEY_LOCAL_MACHINE;
    QString key = QStringLiteral("SOFTWARE\\Microsoft\\Shared Tools\\MSINFO");
    QString name = QStringLiteral("PATH");
    return m_window->GetKeyValue(root, key, name, value);
}

void SysInfoTest::firstValueStartedUnchanged() {
    const QString tool = makeTool(m_dir->filePath("tools/sysinfo-tool"));
    writeStore(pathStore(quoted(tool)));
    launch();
    QTRY_VERIFY(toolStarted());
    QVERIFY(m_messages.isEmpty());
}

void SysInfoTest::firstValueNamesNoFile() {
    // The first value is trusted without a file test; the start then fails.
    const QString folder = m_dir->path();
    makeTool(folder + "/MSINFO32.EXE");
    writeStore(pathStore(quoted(folder + "/missing")) + locationKey(folder));
    launch();
    QCOMPARE(m_messages, QStringList{Unavailable});
    QVERIFY(!toolStarted());
}

void SysInfoTest::secondLookupFindsToolInFolder_data() {
    QTest::addColumn<bool>("toolThere");
    QTest::newRow("tool in the folder") << true;
    QTest::newRow("no tool in the folder") << false;
}

void SysInfoTest::secondLookupFindsToolInFolder() {
    QFETCH(bool, toolThere);
    const QString folder = m_dir->filePath("msinfo");
    QDir().mkpath(folder);
    if (toolThere)
        makeTool(folder + "/MSINFO32.EXE");
    // Backslashes in the stored folder are separators.
    QString stored = folder;
    stored.replace('/', '\\');
    writeStore("Windows Registry Editor Version 5.00\r\n\r\n" +
               locationKey(stored).replace("\n", "\r\n"));
    launch();
    if (toolThere) {
        QTRY_VERIFY(toolStarted());
        QVERIFY(m_messages.isEmpty());
    } else {
        QCOMPARE(m_messages, QStringList{Unavailable});
    }
}

void SysInfoTest::firstValueOfAnotherTypeLeavesPathEmpty() {
    // Found, but of neither type: the path stays empty and the second lookup,
    // which would succeed, is not tried.
    const QString folder = m_dir->filePath("msinfo");
    makeTool(folder + "/MSINFO32.EXE");
    writeStore(pathStore("hex:2f,62,69,6e") + locationKey(folder));
    launch();
    QCOMPARE(m_messages, QStringList{Unavailable});

    HKEY root = HKEY_LOCAL_MACHINE;
    QString key = "SOFTWARE\\Microsoft\\Shared Tools\\MSINFO";
    QString name = "PATH";
    QString value = "kept";
    QVERIFY(m_window->GetKeyValue(root, key, name, value));
    QCOMPARE(value, "kept");
}

void SysInfoTest::embeddedZeroEndsTheValue() {
    const QString tool = makeTool(m_dir->filePath("t"));
    QByteArray hex;
    for (char c : (tool + QChar(0) + "/ignored").toLocal8Bit())
        hex += QByteArray::number(uchar(c), 16).rightJustified(2, '0') + ",";
    hex += "00";
    writeStore(pathStore("hex(1):" + hex));
    launch();
    QTRY_VERIFY(toolStarted());
    QVERIFY(m_messages.isEmpty());
}

void SysInfoTest::bufferLimits_data() {
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<bool>("found");
    const QByteArray name(1023, 'a');
    QTest::newRow("1023 characters and the zero fill the buffer")
        << QByteArray("\"" + name + "\"") << true;
    QTest::newRow("1024 characters are too long") << QByteArray("\"" + name + "a\"") << false;
    QByteArray noZero = "hex(1):";
    for (int i = 0; i < 1024; ++i)
        noZero += "61,";
    noZero.chop(1);
    QTest::newRow("1024 bytes with no zero") << noZero << false;
    QTest::newRow("a value of megabytes")
        << QByteArray("\"" + QByteArray(3 << 20, 'b') + "\"") << false;
}

void SysInfoTest::bufferLimits() {
    QFETCH(QByteArray, value);
    QFETCH(bool, found);
    writeStore(pathStore(value));

    HKEY root = HKEY_LOCAL_MACHINE;
    QString key = "SOFTWARE\\Microsoft\\Shared Tools\\MSINFO";
    QString name = "PATH";
    QString path;
    bool result = false;
    try {
        result = m_window->GetKeyValue(root, key, name, path);
    } catch (const std::runtime_error &) {
        // A value with no end in the buffer is an error for the launcher's trap.
    }
    QCOMPARE(result, found);
    if (found)
        QCOMPARE(path.size(), 1023);

    // Either way the launcher ends in the message: the long name is no program.
    launch();
    QCOMPARE(m_messages, QStringList{Unavailable});
}

void SysInfoTest::numberValueAppendsHexDigits() {
    writeStore("REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\Quorvex]\n\"Number\"=dword:00004a3f\n");
    HKEY root = HKEY_LOCAL_MACHINE;
    QString key = "software\\QUORVEX";
    QString name = "number";
    QString value = "x";
    QVERIFY(m_window->GetKeyValue(root, key, name, value));
    QCOMPARE(value, "&hx4A3F");

    QString missing = "Nothing";
    QVERIFY(!m_window->GetKeyValue(root, key, missing, value));
    QCOMPARE(value, "");
}

void SysInfoTest::readOnlyStoreWorks() {
    const QString tool = makeTool(m_dir->filePath("tool"));
    writeStore(pathStore(quoted(tool)));
    QFile::setPermissions(m_store,
                          QFileDevice::ReadOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther);
    launch();
    QTRY_VERIFY(toolStarted());
    QVERIFY(m_messages.isEmpty());

    // Asking for write rights on it is refused to anyone but root.
    if (::geteuid() != 0) {
        Registry registry(m_store.toStdString());
        HKEY key = 0;
        QCOMPARE(RegOpenKeyExA(registry, HKEY_LOCAL_MACHINE,
                               "SOFTWARE\\Microsoft\\Shared Tools\\MSINFO", 0, 0x2003F, key),
                 ERROR_ACCESS_DENIED);
    }
}

void SysInfoTest::pathWithShellCharactersStartedLiterally() {
    const QString tool = makeTool(m_dir->filePath("my tools/say \"hi\"; rm -rf x $(id).sh"));
    QVERIFY(!tool.isEmpty());
    writeStore(pathStore(quoted(tool)));
    launch();
    QTRY_VERIFY(toolStarted());
    QVERIFY(m_messages.isEmpty());
}

void SysInfoTest::builtInValueWithoutStore() {
    // No store file: the first system-information program in the folders.
    launch();
    QCOMPARE(m_messages, QStringList{Unavailable});

    makeTool(m_dir->filePath("bin/gnome-system-monitor"));
    makeTool(m_dir->filePath("bin/hardinfo"));
    const RegistryKeys keys = builtInRegistry({m_dir->filePath("bin").toStdString()});
    const auto &value = keys.at("software\\microsoft\\shared tools\\msinfo").at("path");
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(value.data.data())),
             m_dir->filePath("bin/hardinfo").toLocal8Bit());
    launch();
    QTRY_VERIFY(toolStarted());
    QCOMPARE(m_messages.size(), 1);
}

void SysInfoTest::badStores_data() {
    QTest::addColumn<QByteArray>("store");
    QTest::newRow("empty file") << QByteArray();
    QTest::newRow("no header") << QByteArray(MsinfoKey + "\"PATH\"=\"/bin/true\"\n");
    QTest::newRow("truncated mid-line") << pathStore("\"/bin/tr").chopped(1);
    QTest::newRow("invalid escape") << pathStore("\"\\q\"");
    QTest::newRow("truncated hex list") << pathStore("hex:2f,\\");
    QTest::newRow("bad hex byte") << pathStore("hex:2g");
    QTest::newRow("value outside any key") << QByteArray("REGEDIT4\n\"PATH\"=\"/bin/true\"\n");
    QTest::newRow("unclosed section") << QByteArray("REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\n");
    QTest::newRow("dword too long") << pathStore("dword:123456789");
    QByteArray garbage("REGEDIT4\n");
    for (int i = 0; i < 4096; ++i)
        garbage += char((i * 7919) % 256);
    QTest::newRow("binary garbage") << garbage;
    QTest::newRow("hex type with no colon") << pathStore("hex(1)");
    QTest::newRow("backslash right after a byte") << pathStore("hex:2f\\\n  62");
    QTest::newRow("section inside a continued list") << pathStore("hex:2f,\\") + MsinfoKey;
    QTest::newRow("deletion followed by more") << pathStore("- x");
    QTest::newRow("line past the length bound")
        << pathStore("\"x\"") + ';' + QByteArray(MaxLineLength, 'x') + '\n';
    QTest::newRow("more lines than allowed")
        << QByteArray("REGEDIT4") + QByteArray(MaxStoreLines + 1, '\n');
}

void SysInfoTest::badStores() {
    QFETCH(QByteArray, store);
    QVERIFY(!parseRegistryText(store.toStdString()).has_value());
    writeStore(store);
    launch();
    QCOMPARE(m_messages, QStringList{Unavailable});
}

void SysInfoTest::storeFiles_data() {
    QTest::addColumn<QByteArray>("store");
    QTest::addColumn<int>("setup");
    QTest::addColumn<QString>("path"); // as read; empty when the lookup fails
    QTest::addColumn<bool>("starts");  // otherwise the launcher shows the message

    const QString tool = QStringLiteral("@TOOL@");
    const QByteArray good = pathStore("\"@TOOL@\"");
    const QByteArray toolKey = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Shared Tools";

    // As a registry import reads the format.
    QTest::newRow("comment ending in a backslash")
        << "REGEDIT4\n" + MsinfoKey + "; the tool \\\n\"PATH\"=\"@TOOL@\"\n"
        << int(AsWritten) << tool << true;
    QTest::newRow("tabs around the equals sign")
        << "REGEDIT4\n" + MsinfoKey + "\"PATH\"\t=\t\"@TOOL@\"\n"
        << int(AsWritten) << tool << true;
    QTest::newRow("value deleted") << good + "\"PATH\"=- ; gone\n"
                                   << int(AsWritten) << QString() << false;
    QTest::newRow("key deleted") << good + "[-" + MsinfoKey.mid(1) << int(AsWritten) << QString()
                                 << false;
    QTest::newRow("key deleted with its subkeys, values under the deletion dropped")
        << good + "[-" + toolKey.mid(1) + "]\n\"PATH\"=\"@TOOL@\"\n"
        << int(AsWritten) << QString() << false;
    QTest::newRow("the root is never deleted") << good + "[-HKEY_LOCAL_MACHINE]\n"
                                               << int(AsWritten) << tool << true;
    QTest::newRow("UTF-16 export, hex(1) PATH over continued lines")
        << "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software]\r\n"
           "\"PATH\"=\"/elsewhere\"\r\n\r\n" +
               QByteArray(MsinfoKey).replace("\n", "\r\n") +
               "\"Count\"=dword:00000002\r\n\"PATH\"=hex(1):@TOOL16@\r\n"
        << int(Utf16) << tool << true;
    QTest::newRow("longest line allowed") << good + ';' + QByteArray(MaxLineLength - 1, 'x') + '\n'
                                          << int(AsWritten) << tool << true;
    QTest::newRow("as many lines as allowed")
        << good + QByteArray(MaxStoreLines - 3, '\n') << int(AsWritten) << tool << true;
    QTest::newRow("store at the size cap") << good << int(AtCap) << tool << true;

    // A relative path: a program "tool2" waits in the current folder and on
    // $PATH.
    QTest::newRow("relative PATH")
        << pathStore("\"tool2\"") << int(AsWritten) << QStringLiteral("tool2") << false;

    // Stores that are not to be trusted, or not to be read at all.
    QTest::newRow("store over the size cap") << good << int(OverCap) << QString() << false;
    QTest::newRow("world-writable store") << good << int(WorldWritable) << QString() << false;
    QTest::newRow("group-writable folder")
        << good << int(FolderGroupWritable) << QString() << false;
    QTest::newRow("store owned by another user") << good << int(OtherOwner) << QString() << false;
    QTest::newRow("FIFO in place of the store") << good << int(Fifo) << QString() << false;
    QTest::newRow("symbolic link swapped in") << good << int(Symlink) << QString() << false;
    QTest::newRow("folder in place of the store") << good << int(Directory) << QString() << false;
}

void SysInfoTest::storeFiles() {
    QFETCH(QByteArray, store);
    QFETCH(int, setup);
    QFETCH(QString, path);
    QFETCH(bool, starts);
    if (setup == OtherOwner && ::geteuid() != 0)
        QSKIP("giving the store to another user needs root");

    const QString tool = makeTool(m_dir->filePath("tools/sysinfo-tool"));
    makeTool(m_dir->filePath("tool2"));
    makeTool(m_dir->filePath("bin/tool2"));
    const Surroundings surroundings(m_dir->path(), m_dir->filePath("bin"));
    store.replace("@TOOL16@", utf16Hex(tool)).replace("@TOOL@", tool.toLocal8Bit());
    path.replace(QStringLiteral("@TOOL@"), tool);
    putStore(store, Setup(setup));

    QString value;
    QCOMPARE(lookUpPath(value) ? value : QString(), path);
    launch();
    if (starts) {
        QTRY_VERIFY(toolStarted());
        QVERIFY(m_messages.isEmpty());
    } else {
        QCOMPARE(m_messages, QStringList{Unavailable});
    }
}

void SysInfoTest::protectedStores_data() {
    QTest::addColumn<uint>("storeOwner");
    QTest::addColumn<uint>("storeMode");
    QTest::addColumn<uint>("folderOwner");
    QTest::addColumn<uint>("folderMode");
    QTest::addColumn<uint>("user");
    QTest::addColumn<bool>("trusted");
    const uint file = S_IFREG;
    const uint dir = S_IFDIR;
    QTest::newRow("root's store") << 0u << (file | 0644) << 0u << (dir | 0755) << 1000u << true;
    QTest::newRow("the user's own")
        << 1000u << (file | 0600) << 1000u << (dir | 0700) << 1000u << true;
    QTest::newRow("another user's store")
        << 1001u << (file | 0644) << 0u << (dir | 0755) << 1000u << false;
    QTest::newRow("root using a user's store")
        << 1000u << (file | 0644) << 1000u << (dir | 0755) << 0u << false;
    QTest::newRow("in another user's folder")
        << 0u << (file | 0644) << 1001u << (dir | 0755) << 1000u << false;
    QTest::newRow("group-writable store")
        << 0u << (file | 0664) << 0u << (dir | 0755) << 1000u << false;
    QTest::newRow("world-writable sticky folder")
        << 0u << (file | 0644) << 0u << (dir | 01777) << 1000u << false;
}

void SysInfoTest::protectedStores() {
    QFETCH(uint, storeOwner);
    QFETCH(uint, storeMode);
    QFETCH(uint, folderOwner);
    QFETCH(uint, folderMode);
    QFETCH(uint, user);
    QFETCH(bool, trusted);
    struct stat store {};
    struct stat folder {};
    store.st_uid = storeOwner;
    store.st_mode = storeMode;
    folder.st_uid = folderOwner;
    folder.st_mode = folderMode;
    QCOMPARE(isProtectedStore(store, folder, user), trusted);
}

void SysInfoTest::utf16TextTypesBecomeLocalText() {
    const QByteArray text = "Windows Registry Editor Version 5.00\r\n\r\n"
                            "[HKEY_LOCAL_MACHINE\\Software\\Quorvex]\r\n"
                            "\"Expand\"=hex(2):25,00,48,00,4f,00,4d,00,45,00,25,00,00,00\r\n"
                            "\"Multi\"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n"
                            "\"Binary\"=hex:61,00\r\n";
    const auto value = [](const QByteArray &file, const char *name) {
        const RegistryKeys keys = parseRegistryText(file.toStdString()).value();
        const auto &data = keys.at("software\\quorvex").at(name).data;
        return QByteArray(reinterpret_cast<const char *>(data.data()), qsizetype(data.size()));
    };
    QCOMPARE(value(utf16File(text), "expand"), QByteArray("%HOME%", 7));
    QCOMPARE(value(utf16File(text), "multi"), QByteArray("a\0b\0", 5));
    QCOMPARE(value(utf16File(text), "binary"), QByteArray("a", 2));
    // The byte-order mark decides, as for an import: without it the bytes stay.
    QCOMPARE(value(text, "multi"), QByteArray("a\0\0\0b\0\0\0\0", 10));
}

void SysInfoTest::fileTestMatchesRegularVisibleFilesOnly() {
    makeTool(m_dir->filePath("dir/MSINFO32.EXE"));
    makeTool(m_dir->filePath("dir/.hidden"));
    QDir().mkpath(m_dir->filePath("dir/folder"));
    QString dir = m_dir->filePath("dir");
    QCOMPARE(fileTest(dir + "\\MSINFO32.EXE"), "MSINFO32.EXE");
    QCOMPARE(fileTest(dir + "/.hidden"), "");
    QCOMPARE(fileTest(dir + "/folder"), "");
    QCOMPARE(fileTest(dir + "/none"), "");
    QCOMPARE(fileTest(""), "");
    QVERIFY_THROWS_EXCEPTION(std::runtime_error, startProgram(""));
    QVERIFY_THROWS_EXCEPTION(std::runtime_error, startProgram(dir + "/folder"));
}

void SysInfoTest::startedToolInheritsNoDescriptor() {
    // A trace being written stays the panel's own, and the signals the panel
    // holds back reach the tool.
    sigset_t before;
    pthread_sigmask(SIG_BLOCK, nullptr, &before);
    const StopSignals stop;
    const QString trace = m_dir->filePath("t.vcd");
    TracingBackend tracing(std::make_unique<SimulatedBoard>(), trace.toStdString());
    const QString tool = makeTool(m_dir->filePath("tools/sysinfo-tool"));
    writeStore(pathStore(quoted(tool)));
    launch();
    QTRY_VERIFY(toolStarted());
    QFile marker(m_marker);
    QVERIFY(marker.open(QIODevice::ReadOnly));
    const QByteArray descriptors = marker.readAll();
    QVERIFY2(descriptors.startsWith("started\n") && !descriptors.contains(trace.toLocal8Bit()),
             descriptors.constData());
    QVERIFY2(descriptors.contains("SigBlk:\t0000000000000000"), descriptors.constData());
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

QTEST_MAIN(SysInfoTest)
#include "test_sysinfo.moc"
