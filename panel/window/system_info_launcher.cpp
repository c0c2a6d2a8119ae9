#include "panel/window/control_panel_window.h"

#include "link/direct_io_backend.h"
#include "link/stop_signals.h"
#include "sysinfo/system_tools.h"
#include "word/readouts.h"

#include <QByteArray>

#include <exception>
#include <stdexcept>

namespace {

const QString UnavailableMessage = QStringLiteral("System Information Is Unavailable At This Time");
const QString ToolFile = QStringLiteral("\\MSINFO32.EXE");
constexpr std::int32_t BufferSize = 1024;

// Keys are opened for reading only: asking for write rights as well would
// refuse the tool to every account that may read the store but not write it.
constexpr std::int32_t OpenAccess = KEY_READ;

// The tool starts as from the desktop's menu: without this program's I/O
// port permissions, and with the signals that end a program let through.
void prepareTool() noexcept {
    dropPortAccess();
    releaseStopSignals();
}

} // namespace

void QuorvexControlPanel::systemInfo_Click() {
    StartSysInfo();
}

void QuorvexControlPanel::StartSysInfo() {
    try {
        HKEY root = HKEY_LOCAL_MACHINE;
        QString path;
        QString key = QStringLiteral("SOFTWARE\\Microsoft\\Shared Tools\\MSINFO");
        QString value = QStringLiteral("PATH");
        if (!GetKeyValue(root, key, value, path)) {
            key = QStringLiteral("SOFTWARE\\Microsoft\\Shared Tools Location");
            value = QStringLiteral("MSINFO");
            if (!GetKeyValue(root, key, value, path))
                throw std::runtime_error("no system-information tool is registered");
            if (fileTest(path + ToolFile).isEmpty())
                throw std::runtime_error("the registered folder holds no tool");
            path += ToolFile;
        }
        startProgram(path, prepareTool);
        return;
    } catch (const std::exception &) {
        // Every way the tool cannot be found or started ends in one message.
    }
    showMessage(UnavailableMessage);
}

bool QuorvexControlPanel::GetKeyValue(HKEY &KeyRoot, QString &KeyName, QString &SubKeyRef,
                                      QString &KeyVal) {
    if (!m_registry)
        throw std::runtime_error("no registry to look the tool up in");
    Registry &registry = *m_registry;
    bool found = false;
    HKEY key = 0;
    std::int32_t result =
        RegOpenKeyExA(registry, KeyRoot, KeyName.toLocal8Bit().toStdString(), 0, OpenAccess, key);
    if (result != ERROR_SUCCESS) {
        KeyVal.clear();
    } else {
        QByteArray buffer(BufferSize, '\0');
        std::int32_t size = BufferSize;
        std::int32_t type = REG_NONE;
        result = RegQueryValueExA(registry, key, SubKeyRef.toLocal8Bit().toStdString(), 0, type,
                                  reinterpret_cast<unsigned char *>(buffer.data()), size);
        if (result != ERROR_SUCCESS) {
            KeyVal.clear();
        } else {
            const qsizetype end = buffer.indexOf('\0');
            if (end < 0) {
                RegCloseKey(registry, key);
                throw std::runtime_error("the registry value fills its buffer with no end");
            }
            const QByteArray text = buffer.left(end);
            if (type == REG_SZ) {
                KeyVal = QString::fromLocal8Bit(text);
            } else if (type == REG_DWORD) {
                for (qsizetype i = text.size() - 1; i >= 0; --i)
                    KeyVal += hexText((unsigned char)text.at(i));
                KeyVal.prepend(QStringLiteral("&h"));
            }
            found = true;
        }
    }
    RegCloseKey(registry, key);
    return found;
}
