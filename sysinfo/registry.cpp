#include "sysinfo/registry.h"

#include <QString>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <iterator>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// A store is a few lines; anything far larger is not one, and is refused
// before it costs time or memory.
constexpr std::size_t MaxStoreSize = 16 * 1024 * 1024;

const char *const SystemInfoKey = "software\\microsoft\\shared tools\\msinfo";
const char *const SystemInfoPrograms[] = {"hardinfo2", "hardinfo", "kinfocenter", "lshw-gtk",
                                          "gnome-system-monitor"};

std::string folded(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

std::string trimmed(const std::string &text) {
    const auto begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos)
        return {};
    return text.substr(begin, text.find_last_not_of(" \t\r\n") - begin + 1);
}

// Version 5 exports are UTF-16; the values are used as ANSI text.
std::string decodeText(const std::string &raw) {
    if (raw.size() >= 2 && (unsigned char)raw[0] == 0xFF && (unsigned char)raw[1] == 0xFE) {
        const auto *units = reinterpret_cast<const char16_t *>(raw.data() + 2);
        return QString::fromUtf16(units, qsizetype((raw.size() - 2) / 2))
            .toLocal8Bit()
            .toStdString();
    }
    if (raw.compare(0, 3, "\xEF\xBB\xBF") == 0)
        return QString::fromUtf8(raw.data() + 3, qsizetype(raw.size() - 3))
            .toLocal8Bit()
            .toStdString();
    return raw;
}

// A quoted string starting at text[pos] == '"', with \\ and \" as the only
// escapes. Advances pos past the closing quote.
std::optional<std::string> quoted(const std::string &text, std::size_t &pos) {
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

bool restIsEmpty(const std::string &text, std::size_t pos) {
    const std::string rest = trimmed(text.substr(std::min(pos, text.size())));
    return rest.empty() || rest[0] == ';';
}

std::optional<std::vector<unsigned char>> hexBytes(const std::string &list) {
    std::vector<unsigned char> bytes;
    std::string item;
    const auto flush = [&]() -> bool {
        item = trimmed(item);
        if (item.size() != 2 || !std::isxdigit((unsigned char)item[0]) ||
            !std::isxdigit((unsigned char)item[1]))
            return false;
        bytes.push_back((unsigned char)std::stoul(item, nullptr, 16));
        item.clear();
        return true;
    };
    if (trimmed(list).empty())
        return bytes;
    for (char c : list) {
        if (c == ',') {
            if (!flush())
                return std::nullopt;
        } else {
            item += c;
        }
    }
    if (!flush())
        return std::nullopt;
    return bytes;
}

std::optional<RegistryValue> valueData(const std::string &data) {
    RegistryValue value;
    if (!data.empty() && data[0] == '"') {
        std::size_t pos = 0;
        const auto text = quoted(data, pos);
        if (!text || !restIsEmpty(data, pos))
            return std::nullopt;
        value.type = REG_SZ;
        value.data.assign(text->begin(), text->end());
        value.data.push_back(0);
        return value;
    }
    const std::string lower = folded(data);
    if (lower.rfind("dword:", 0) == 0) {
        const std::string digits = trimmed(data.substr(6));
        if (digits.empty() || digits.size() > 8 ||
            !std::all_of(digits.begin(), digits.end(),
                         [](unsigned char c) { return std::isxdigit(c); }))
            return std::nullopt;
        const unsigned long number = std::stoul(digits, nullptr, 16);
        value.type = REG_DWORD;
        for (int i = 0; i < 4; ++i)
            value.data.push_back((unsigned char)((number >> (8 * i)) & 0xFF));
        return value;
    }
    if (lower.rfind("hex", 0) == 0) {
        std::size_t colon = lower.find(':');
        if (colon == std::string::npos)
            return std::nullopt;
        const std::string kind = lower.substr(3, colon - 3);
        if (kind.empty()) {
            value.type = REG_BINARY;
        } else {
            if (kind.size() < 3 || kind.front() != '(' || kind.back() != ')' || kind.size() > 10)
                return std::nullopt;
            const std::string number = kind.substr(1, kind.size() - 2);
            if (!std::all_of(number.begin(), number.end(),
                             [](unsigned char c) { return std::isxdigit(c); }))
                return std::nullopt;
            value.type = std::int32_t(std::stoul(number, nullptr, 16));
        }
        auto bytes = hexBytes(data.substr(colon + 1));
        if (!bytes)
            return std::nullopt;
        value.data = std::move(*bytes);
        return value;
    }
    return std::nullopt;
}

bool isExecutableFile(const std::string &path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

} // namespace

std::optional<RegistryKeys> parseRegistryText(const std::string &raw) {
    if (raw.size() > MaxStoreSize)
        return std::nullopt;
    const std::string text = decodeText(raw);

    // Physical lines, with hex lists continued by a trailing backslash joined.
    std::vector<std::string> lines;
    std::string pending;
    bool continued = false;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = trimmed(text.substr(start, end - start));
        start = end + 1;
        if (continued) {
            pending += line;
        } else {
            pending = line;
        }
        continued = !pending.empty() && pending.back() == '\\' &&
                    folded(pending).find("=hex") != std::string::npos;
        if (continued) {
            pending.pop_back();
            continue;
        }
        lines.push_back(pending);
    }
    if (continued)
        return std::nullopt;

    auto line = lines.begin();
    while (line != lines.end() && line->empty())
        ++line;
    if (line == lines.end() ||
        (*line != "REGEDIT4" && *line != "Windows Registry Editor Version 5.00"))
        return std::nullopt;

    RegistryKeys keys;
    std::map<std::string, RegistryValue> *section = nullptr;
    bool otherRoot = false;
    for (++line; line != lines.end(); ++line) {
        if (line->empty() || (*line)[0] == ';')
            continue;
        if ((*line)[0] == '[') {
            if (line->back() != ']')
                return std::nullopt;
            const std::string path = line->substr(1, line->size() - 2);
            const std::string root = "hkey_local_machine";
            const std::string lower = folded(path);
            otherRoot = lower.rfind(root, 0) != 0 ||
                        (lower.size() > root.size() && lower[root.size()] != '\\');
            section = nullptr;
            if (!otherRoot) {
                std::string key = lower.substr(std::min(lower.size(), root.size() + 1));
                while (!key.empty() && key.back() == '\\')
                    key.pop_back();
                section = &keys[key];
            }
            continue;
        }
        if ((*line)[0] != '"' && (*line)[0] != '@')
            return std::nullopt;
        if (!section && !otherRoot)
            return std::nullopt;

        std::size_t pos = 0;
        std::string name;
        if ((*line)[0] == '@') {
            pos = 1;
        } else {
            auto quotedName = quoted(*line, pos);
            if (!quotedName)
                return std::nullopt;
            name = std::move(*quotedName);
        }
        while (pos < line->size() && (*line)[pos] == ' ')
            ++pos;
        if (pos >= line->size() || (*line)[pos] != '=')
            return std::nullopt;
        const std::string data = trimmed(line->substr(pos + 1));
        if (data == "-")
            continue;
        auto value = valueData(data);
        if (!value)
            return std::nullopt;
        if (section)
            (*section)[folded(name)] = std::move(*value);
    }
    return keys;
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
    const char *store = registry.m_storePath.c_str();
    struct stat info {};
    if (::stat(store, &info) != 0 && errno == ENOENT) {
        keys = builtInRegistry(registry.m_toolFolders);
    } else {
        if (::access(store, R_OK) != 0)
            return ERROR_ACCESS_DENIED;
        if ((samDesired & KEY_WRITE_RIGHTS) && ::access(store, W_OK) != 0)
            return ERROR_ACCESS_DENIED;
        if (!S_ISREG(info.st_mode) || std::size_t(info.st_size) > MaxStoreSize)
            return ERROR_BADDB;
        std::ifstream file(store, std::ios::binary);
        const std::string text{std::istreambuf_iterator<char>(file), {}};
        auto parsed = parseRegistryText(text);
        if (!file.good() && !file.eof())
            return ERROR_BADDB;
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
