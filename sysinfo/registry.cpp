#include "sysinfo/registry.h"

#include <QString>

#include <algorithm>
#include <cctype>
#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

namespace {

const char *const SystemInfoKey = "software\\microsoft\\shared tools\\msinfo";
const char *const SystemInfoPrograms[] = {"hardinfo2", "hardinfo", "kinfocenter", "lshw-gtk",
                                          "gnome-system-monitor"};

std::string folded(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return lower;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

bool isHexDigit(char c) {
    return std::isxdigit((unsigned char)c) != 0;
}

int hexValue(char c) {
    return c <= '9' ? c - '0' : (std::tolower((unsigned char)c) - 'a' + 10);
}

std::string_view trimmed(std::string_view text) {
    const auto begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string_view::npos)
        return {};
    return text.substr(begin, text.find_last_not_of(" \t\r\n") - begin + 1);
}

std::size_t skipBlanks(std::string_view text, std::size_t pos) {
    while (pos < text.size() && isBlank(text[pos]))
        ++pos;
    return pos;
}

// Nothing but blanks and a comment from pos on.
bool restIsEmpty(std::string_view text, std::size_t pos) {
    pos = skipBlanks(text, pos);
    return pos >= text.size() || text[pos] == ';';
}

// A quoted string starting at text[pos] == '"', with \\ and \" as the only
// escapes. Advances pos past the closing quote.
std::optional<std::string> quoted(std::string_view text, std::size_t &pos) {
    std::string value;
    for (++pos; pos < text.size(); ++pos) {
        const char c = text[pos];
        if (c == '"') {
            ++pos;
            return value;
        }
        if (c == '\\') {
            if (++pos >= text.size() || (text[pos] != '\\' && text[pos] != '"'))
                return std::nullopt;
        }
        value += text[pos];
    }
    return std::nullopt;
}

std::string localText(const char16_t *units, std::size_t count) {
    return QString::fromUtf16(units, qsizetype(count)).toLocal8Bit().toStdString();
}

// Reads the store one physical line at a time and keeps no line once it is
// done with it: only a hex list continued by a trailing backslash spans lines,
// and whether a line continues is decided from that line alone.
class StoreParser {
public:
    explicit StoreParser(bool utf16)
        : m_utf16(utf16) {}

    bool line(std::string_view raw);
    std::optional<RegistryKeys> finish();

private:
    bool header(std::string_view text);
    bool section(std::string_view text);
    bool value(std::string_view text);
    bool hexList(std::string_view text);
    bool store();
    void eraseTree(const std::string &key);

    RegistryKeys m_keys;
    // The key values go to; none in a section of another root or after a
    // deletion, whose values are read and dropped.
    std::map<std::string, RegistryValue> *m_section = nullptr;
    bool m_inSection = false;
    bool m_headerSeen = false;
    bool m_utf16;
    // The last line ended a hex list in a backslash: the next one goes on
    // with m_value, named m_name.
    bool m_continued = false;
    std::string m_name;
    RegistryValue m_value;
};

bool StoreParser::line(std::string_view raw) {
    const std::string_view text = trimmed(raw);
    if (m_continued) {
        // An import skips blank lines and comments inside a continued list.
        return text.empty() || text[0] == ';' || hexList(text);
    }
    if (text.empty())
        return true;
    if (!m_headerSeen)
        return header(text);
    switch (text[0]) {
    case ';':
        return true;
    case '[':
        return section(text);
    case '"':
    case '@':
        return value(text);
    default:
        return false;
    }
}

bool StoreParser::header(std::string_view text) {
    m_headerSeen = true;
    return text == "REGEDIT4" || text == "Windows Registry Editor Version 5.00";
}

bool StoreParser::section(std::string_view text) {
    if (text.back() != ']')
        return false;
    std::string_view path = text.substr(1, text.size() - 2);
    const bool deletion = !path.empty() && path[0] == '-';
    if (deletion)
        path.remove_prefix(1);

    m_section = nullptr;
    m_inSection = true;
    const std::string root = "hkey_local_machine";
    std::string key = folded(path);
    if (key.rfind(root, 0) != 0 || (key.size() > root.size() && key[root.size()] != '\\'))
        return true;
    key.erase(0, std::min(key.size(), root.size() + 1));
    while (!key.empty() && key.back() == '\\')
        key.pop_back();
    if (!deletion)
        m_section = &m_keys[key];
    else if (!key.empty()) // an import never deletes the root itself
        eraseTree(key);
    return true;
}

void StoreParser::eraseTree(const std::string &key) {
    m_keys.erase(key);
    const std::string below = key + '\\';
    auto first = m_keys.lower_bound(below);
    auto last = first;
    while (last != m_keys.end() && last->first.compare(0, below.size(), below) == 0)
        ++last;
    m_keys.erase(first, last);
}

bool StoreParser::value(std::string_view text) {
    if (!m_inSection)
        return false;
    std::size_t pos = 0;
    std::string name;
    if (text[0] == '@') {
        pos = 1;
    } else {
        auto quotedName = quoted(text, pos);
        if (!quotedName)
            return false;
        name = folded(*quotedName);
    }
    pos = skipBlanks(text, pos);
    if (pos >= text.size() || text[pos] != '=')
        return false;
    const std::string_view data = text.substr(skipBlanks(text, pos + 1));
    if (data.empty())
        return false;

    if (data[0] == '-') {
        if (!restIsEmpty(data, 1))
            return false;
        if (m_section)
            m_section->erase(name);
        return true;
    }
    m_name = std::move(name);
    m_value = {};
    if (data[0] == '"') {
        pos = 0;
        const auto string = quoted(data, pos);
        if (!string || !restIsEmpty(data, pos))
            return false;
        m_value.type = REG_SZ;
        m_value.data.assign(string->begin(), string->end());
        m_value.data.push_back(0);
        return store();
    }
    const std::size_t colon = data.find(':');
    if (colon == std::string_view::npos)
        return false;
    const std::string kind = folded(data.substr(0, colon));
    if (kind == "dword") {
        pos = skipBlanks(data, 6);
        std::uint32_t number = 0;
        std::size_t digits = 0;
        for (; pos < data.size() && isHexDigit(data[pos]); ++pos, ++digits)
            number = number << 4 | std::uint32_t(hexValue(data[pos]));
        if (digits == 0 || digits > 8 || !restIsEmpty(data, pos))
            return false;
        m_value.type = REG_DWORD;
        for (int i = 0; i < 4; ++i)
            m_value.data.push_back((unsigned char)((number >> (8 * i)) & 0xFF));
        return store();
    }
    if (kind == "hex") {
        m_value.type = REG_BINARY;
    } else if (kind.size() > 5 && kind.size() <= 13 && kind.compare(0, 4, "hex(") == 0 &&
               kind.back() == ')') {
        const std::string number = kind.substr(4, kind.size() - 5);
        if (!std::all_of(number.begin(), number.end(), isHexDigit))
            return false;
        m_value.type = std::int32_t(std::stoul(number, nullptr, 16));
    } else {
        return false;
    }
    return hexList(data.substr(colon + 1));
}

// Comma-separated two-digit bytes appended to m_value; a backslash after the
// last comma continues the list on the next line.
bool StoreParser::hexList(std::string_view text) {
    std::size_t pos = 0;
    m_continued = false;
    for (;;) {
        pos = skipBlanks(text, pos);
        if (pos >= text.size() || text[pos] == ';')
            break;
        if (text[pos] == '\\') {
            m_continued = restIsEmpty(text, pos + 1);
            return m_continued;
        }
        if (pos + 1 >= text.size() || !isHexDigit(text[pos]) || !isHexDigit(text[pos + 1]))
            return false;
        m_value.data.push_back((unsigned char)(hexValue(text[pos]) << 4 | hexValue(text[pos + 1])));
        pos = skipBlanks(text, pos + 2);
        if (pos >= text.size() || text[pos] == ';')
            break;
        if (text[pos] != ',')
            return false;
        ++pos;
    }

    // UTF-16 exports write these types as UTF-16 text in hex.
    const bool text16 =
        m_value.type == REG_SZ || m_value.type == REG_EXPAND_SZ || m_value.type == REG_MULTI_SZ;
    if (m_utf16 && text16) {
        std::u16string units(m_value.data.size() / 2, u'\0');
        for (std::size_t i = 0; i < units.size(); ++i)
            units[i] = char16_t(m_value.data[2 * i] | m_value.data[2 * i + 1] << 8);
        const std::string local = localText(units.data(), units.size());
        m_value.data.assign(local.begin(), local.end());
    }
    return store();
}

bool StoreParser::store() {
    if (m_section)
        (*m_section)[m_name] = std::move(m_value);
    return true;
}

std::optional<RegistryKeys> StoreParser::finish() {
    if (!m_headerSeen || m_continued)
        return std::nullopt;
    return std::move(m_keys);
}

// Closes a descriptor when it goes out of scope.
class Descriptor {
public:
    explicit Descriptor(int fd)
        : m_fd(fd) {}
    ~Descriptor() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

std::int32_t openError(int error) {
    if (error == ENOENT)
        return ERROR_FILE_NOT_FOUND;
    return error == EACCES ? ERROR_ACCESS_DENIED : ERROR_BADDB;
}

// Reads the store into text. The file is opened once, beside its folder's
// descriptor, and checked and read through its own descriptor, so the file
// read is the file checked; a symbolic link is refused rather than followed,
// and a FIFO or device is refused before anything is read from it.
std::int32_t readStore(const std::string &path, bool writeRights, std::string &text) {
    const std::size_t slash = path.rfind('/');
    const std::string folderPath =
        slash == std::string::npos ? "." : path.substr(0, std::max<std::size_t>(slash, 1));
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);

    const Descriptor folder(::open(folderPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (folder.get() < 0)
        return openError(errno);
    const Descriptor file(
        ::openat(folder.get(), name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW));
    if (file.get() < 0)
        return openError(errno);

    struct stat folderInfo {};
    struct stat fileInfo {};
    const uid_t user = ::geteuid();
    if (::fstat(folder.get(), &folderInfo) != 0 || ::fstat(file.get(), &fileInfo) != 0 ||
        !isProtectedStore(fileInfo, folderInfo, user))
        return ERROR_BADDB;
    if (writeRights && user != 0 && !(fileInfo.st_uid == user && (fileInfo.st_mode & S_IWUSR)))
        return ERROR_ACCESS_DENIED;
    if (std::size_t(fileInfo.st_size) > MaxStoreSize)
        return ERROR_BADDB;

    // The file may have grown since fstat: read at most one byte past the cap.
    text.assign(std::size_t(fileInfo.st_size) + 1, '\0');
    std::size_t used = 0;
    for (;;) {
        if (used == text.size()) {
            if (used > MaxStoreSize)
                return ERROR_BADDB;
            text.resize(std::min(2 * used, MaxStoreSize + 1));
        }
        const ssize_t count = ::read(file.get(), text.data() + used, text.size() - used);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return ERROR_BADDB;
        if (count == 0)
            break;
        used += std::size_t(count);
    }
    text.resize(used);
    return ERROR_SUCCESS;
}

bool isExecutableFile(const std::string &path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

} // namespace

std::optional<RegistryKeys> parseRegistryText(std::string_view raw) {
    if (raw.size() > MaxStoreSize)
        return std::nullopt;
    const bool utf16 =
        raw.size() >= 2 && (unsigned char)raw[0] == 0xFF && (unsigned char)raw[1] == 0xFE;
    const bool utf8 = raw.substr(0, 3) == "\xEF\xBB\xBF";
    StoreParser parser(utf16);
    std::size_t lines = 0;
    const auto take = [&](std::string_view line) {
        return ++lines <= MaxStoreLines && parser.line(line);
    };

    if (utf16) {
        // Little-endian units, split at U+000A and decoded one line at a time.
        std::u16string line;
        for (std::size_t pos = 2; pos + 1 < raw.size(); pos += 2) {
            const auto unit = char16_t((unsigned char)raw[pos] | (unsigned char)raw[pos + 1] << 8);
            if (unit != u'\n') {
                if (line.size() == MaxLineLength)
                    return std::nullopt;
                line += unit;
                continue;
            }
            if (!take(localText(line.data(), line.size())))
                return std::nullopt;
            line.clear();
        }
        if (!line.empty() && !take(localText(line.data(), line.size())))
            return std::nullopt;
        return parser.finish();
    }

    // The piece after the last newline is a line only when it holds something.
    for (std::string_view text = raw.substr(utf8 ? 3 : 0); !text.empty();) {
        const std::size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        if (line.size() > MaxLineLength)
            return std::nullopt;
        const bool taken = utf8 ? take(QString::fromUtf8(line.data(), qsizetype(line.size()))
                                           .toLocal8Bit()
                                           .toStdString())
                                : take(line);
        if (!taken)
            return std::nullopt;
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
    return parser.finish();
}

bool isProtectedStore(const struct stat &store, const struct stat &folder, uid_t user) {
    const auto ownedAlone = [user](const struct stat &info) {
        return (info.st_uid == 0 || info.st_uid == user) &&
               (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
    };
    return S_ISREG(store.st_mode) && S_ISDIR(folder.st_mode) && ownedAlone(store) &&
           ownedAlone(folder);
}

RegistryKeys builtInRegistry(const std::vector<std::string> &toolFolders) {
    RegistryKeys keys;
    for (const char *program : SystemInfoPrograms) {
        for (const std::string &folder : toolFolders) {
            const std::string path = folder + "/" + program;
            if (isExecutableFile(path)) {
                RegistryValue value{REG_SZ, {path.begin(), path.end()}};
                value.data.push_back(0);
                keys[SystemInfoKey]["path"] = std::move(value);
                return keys;
            }
        }
    }
    return keys;
}

Registry::Registry(std::string storePath, std::vector<std::string> toolFolders)
    : m_storePath(std::move(storePath))
    , m_toolFolders(std::move(toolFolders)) {}

std::int32_t RegOpenKeyExA(Registry &registry, HKEY root, const std::string &subKey, std::int32_t,
                           std::int32_t samDesired, HKEY &result) {
    result = 0;
    if (root != HKEY_LOCAL_MACHINE)
        return ERROR_INVALID_HANDLE;

    RegistryKeys keys;
    std::string text;
    const std::int32_t read =
        readStore(registry.m_storePath, (samDesired & KEY_WRITE_RIGHTS) != 0, text);
    if (read == ERROR_FILE_NOT_FOUND) {
        keys = builtInRegistry(registry.m_toolFolders);
    } else if (read != ERROR_SUCCESS) {
        return read;
    } else {
        auto parsed = parseRegistryText(text);
        if (!parsed)
            return ERROR_BADDB;
        keys = std::move(*parsed);
    }

    std::string key = folded(subKey);
    while (!key.empty() && key.back() == '\\')
        key.pop_back();
    const auto found = keys.find(key);
    if (found == keys.end())
        return ERROR_FILE_NOT_FOUND;
    result = registry.m_nextHandle++;
    registry.m_open[result] = std::move(found->second);
    return ERROR_SUCCESS;
}

std::int32_t RegQueryValueExA(Registry &registry, HKEY key, const std::string &valueName,
                              std::int32_t reserved, std::int32_t &type, unsigned char *data,
                              std::int32_t &size) {
    const auto open = registry.m_open.find(key);
    if (open == registry.m_open.end())
        return ERROR_INVALID_HANDLE;
    if (reserved != 0 || size < 0)
        return ERROR_INVALID_PARAMETER;
    const auto value = open->second.find(folded(valueName));
    if (value == open->second.end())
        return ERROR_FILE_NOT_FOUND;

    type = value->second.type;
    const std::vector<unsigned char> &bytes = value->second.data;
    if (bytes.size() > std::size_t(size)) {
        size = std::int32_t(std::min<std::size_t>(bytes.size(), INT32_MAX));
        return ERROR_MORE_DATA;
    }
    std::copy(bytes.begin(), bytes.end(), data);
    size = std::int32_t(bytes.size());
    return ERROR_SUCCESS;
}

std::int32_t RegCloseKey(Registry &registry, HKEY key) {
    return registry.m_open.erase(key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}
