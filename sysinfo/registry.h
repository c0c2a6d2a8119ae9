#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/stat.h>
#include <sys/types.h>

// A small stand-in for the system registry on Linux: the values live in a
// text file in the registry-export format, read afresh at every key opened.
// The functions keep the registry's names, arguments and result codes so the
// launcher's lookups read as they would anywhere else.

using HKEY = std::int32_t;

inline constexpr HKEY HKEY_LOCAL_MACHINE = std::int32_t(0x80000002u);

// Result codes.
inline constexpr std::int32_t ERROR_SUCCESS = 0;
inline constexpr std::int32_t ERROR_FILE_NOT_FOUND = 2;
inline constexpr std::int32_t ERROR_ACCESS_DENIED = 5;
inline constexpr std::int32_t ERROR_INVALID_HANDLE = 6;
inline constexpr std::int32_t ERROR_INVALID_PARAMETER = 87;
inline constexpr std::int32_t ERROR_MORE_DATA = 234;
inline constexpr std::int32_t ERROR_BADDB = 1009;

// Access rights.
inline constexpr std::int32_t KEY_QUERY_VALUE = 0x0001;
inline constexpr std::int32_t KEY_SET_VALUE = 0x0002;
inline constexpr std::int32_t KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr std::int32_t KEY_CREATE_LINK = 0x0020;
inline constexpr std::int32_t KEY_READ = 0x20019;
inline constexpr std::int32_t KEY_WRITE_RIGHTS =
    KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK;

// Value types.
inline constexpr std::int32_t REG_NONE = 0;
inline constexpr std::int32_t REG_SZ = 1;
inline constexpr std::int32_t REG_EXPAND_SZ = 2;
inline constexpr std::int32_t REG_BINARY = 3;
inline constexpr std::int32_t REG_DWORD = 4;
inline constexpr std::int32_t REG_MULTI_SZ = 7;
inline constexpr std::int32_t REG_QWORD = 11;

struct RegistryValue {
    std::int32_t type = REG_NONE;
    std::vector<unsigned char> data;
};

// Key paths (below HKEY_LOCAL_MACHINE, without it) and value names, both
// folded to lower case, to their values.
using RegistryKeys = std::map<std::string, std::map<std::string, RegistryValue>>;

// A store is a few dozen short lines; a text past any of these bounds is
// not one and is refused, whatever it holds.
inline constexpr std::size_t MaxStoreSize = 16 * 1024 * 1024;
inline constexpr std::size_t MaxStoreLines = 1 << 20;
inline constexpr std::size_t MaxLineLength = 1 << 16;

// Parses a registry-export text as an import would, in time linear in its
// length: "name"=- deletes a value and [-KEY] a key with its subkeys from
// what was read before; in a UTF-16 export, hex(1), hex(2) and hex(7) data
// are UTF-16 text and come out in the local 8-bit encoding. Returns nothing
// when the text is not in the format: no header, a line that is neither a
// section, a value nor a comment, a bad escape, an unterminated string, a
// truncated hex list, or a text past the bounds above.
std::optional<RegistryKeys> parseRegistryText(std::string_view text);

// Whether user may trust a store: a regular file and its folder each owned
// by root or by user, and writable by no one else, as the machine-wide key
// is protected. Otherwise whoever else may write either of them would choose
// the program the user starts.
bool isProtectedStore(const struct stat &store, const struct stat &folder, uid_t user);

// The values a machine with no store file has: the system-information program
// found first in toolFolders, if any.
RegistryKeys builtInRegistry(const std::vector<std::string> &toolFolders);

inline const char *const SystemStorePath = "/etc/quorvex-evm/system.reg";

class Registry {
public:
    explicit Registry(std::string storePath = SystemStorePath,
                      std::vector<std::string> toolFolders = {"/usr/local/bin", "/usr/bin"});

    const std::string &storePath() const { return m_storePath; }

private:
    friend std::int32_t RegOpenKeyExA(Registry &, HKEY, const std::string &, std::int32_t,
                                      std::int32_t, HKEY &);
    friend std::int32_t RegQueryValueExA(Registry &, HKEY, const std::string &, std::int32_t,
                                         std::int32_t &, unsigned char *, std::int32_t &);
    friend std::int32_t RegCloseKey(Registry &, HKEY);

    std::string m_storePath;
    std::vector<std::string> m_toolFolders;
    std::map<HKEY, std::map<std::string, RegistryValue>> m_open;
    HKEY m_nextHandle = 0x100;
};

// Opens subKey under root, reading the store afresh: ERROR_BADDB when it is
// not a protected store (isProtectedStore), is a symbolic link, is over
// MaxStoreSize or does not parse. Asking for write rights on a store the user
// may not write is refused with ERROR_ACCESS_DENIED.
std::int32_t RegOpenKeyExA(Registry &registry, HKEY root, const std::string &subKey,
                           std::int32_t options, std::int32_t samDesired, HKEY &result);

// Copies the value's data into data (size bytes long) and sets size to its
// length; data longer than size gives ERROR_MORE_DATA.
std::int32_t RegQueryValueExA(Registry &registry, HKEY key, const std::string &valueName,
                              std::int32_t reserved, std::int32_t &type, unsigned char *data,
                              std::int32_t &size);

std::int32_t RegCloseKey(Registry &registry, HKEY key);
