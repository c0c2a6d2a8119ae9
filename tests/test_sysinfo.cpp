#include "panel/control_panel_window.h"
#include "sysinfo/registry.h"
#include "sysinfo/system_tools.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

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
    void fileTestMatchesRegularVisibleFilesOnly();

private:
    // A program that proves it was started by writing a marker file.
    QString makeTool(const QString &path);
    bool toolStarted() { return QFile::exists(m_marker); }
    void writeStore(const QByteArray &body);
    void launch();

    std::unique_ptr<QTemporaryDir> m_dir;
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
    m_window->setRegistry(Registry(m_store.toStdString(), {m_dir->filePath("bin").toStdString()}));
    m_window->setMessagePresenter([this](const QString &text) { m_messages << text; });
}

QString SysInfoTest::makeTool(const QString &path) {
    QDir().mkpath(QFileInfo(path).path());
    QFile tool(path);
    if (!tool.open(QIODevice::WriteOnly))
        return {};
    tool.write("#!/bin/sh\necho started > '" + m_marker.toLocal8Bit() + "'\n");
    tool.close();
    tool.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return path;
}

void SysInfoTest::writeStore(const QByteArray &body) {
    QFile file(m_store);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(body);
}

void SysInfoTest::launch() {
    m_window->systemInfo()->trigger();
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
}

void SysInfoTest::badStores() {
    QFETCH(QByteArray, store);
    QVERIFY(!parseRegistryText(store.toStdString()).has_value());
    writeStore(store);
    launch();
    QCOMPARE(m_messages, QStringList{Unavailable});
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

QTEST_MAIN(SysInfoTest)
#include "test_sysinfo.moc"
