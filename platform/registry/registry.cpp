// Registry over a text file in the .reg export format.
//
// Where the file lives: $TWOPASS_REGISTRY when that is set (tests and the demo
// point it at a file of their own); otherwise $XDG_CONFIG_HOME/twopass/registry.reg,
// or ~/.config/twopass/registry.reg when XDG_CONFIG_HOME is not set. A missing
// file is an empty registry.
//
// The file (UTF-8, or UTF-16LE with its byte-order mark as the editor writes it):
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_CURRENT_USER\Software\VFPlugin]
//   "reader"="/usr/local/lib/vfapi-reader.so"
//
// Keys are sections; values are "name"=data lines, @ standing for the unnamed
// value. Data is "text" (backslash escapes \\ and \"), dword:1234abcd,
// hex:01,02,... or hex(N):01,02,... (a value of type N), the hex lists may go
// on over lines that end in a backslash. "name"=- and [-key] delete. Lines
// starting with ';' are comments. Values keep their order in the file, which
// is the order RegEnumValueA hands them out in.
//
// The file is read whenever a key is opened; an open key keeps the values it
// saw then. Nothing is ever written back. Only a regular file of at most
// kMaxRegistryBytes is read: anything else (a FIFO, a device, a huge file) is
// not a registry and reads as an empty one.
#include "platform/registry/registry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/ascii.h"

namespace {

constexpr size_t kMaxRegistryBytes = 4u << 20;

struct RegistryValue {
    std::string name;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
    bool deleted = false;  // while the file is read: removed by a later "name"=-
};

struct RegistryKey {
    std::string path;  // lower case, backslash-separated, from the root's full name
    std::vector<RegistryValue> values;
    // While the file is read: where each value (by lower-case name) stands,
    // so that a file of many values is read in linear time.
    std::unordered_map<std::string, size_t> index;
    bool deleted = false;
};

struct RegistryFile {
    std::vector<RegistryKey> keys;  // each key once, in order of first appearance
    std::unordered_map<std::string, size_t> index;  // path -> position in keys, live keys only
};

// Open keys handed out by RegOpenKeyExA; a handle is the key's address.
std::mutex open_keys_mutex;
std::set<RegistryKey*> open_keys;

std::string lower(std::string text) {
    for (char& c : text) c = ascii_lower(c);
    return text;
}


std::string trim(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos) return {};
    size_t end = text.find_last_not_of(" \t\r\n");
    return text.substr(begin, end - begin + 1);
}

std::string registry_file_path() {
    if (const char* explicit_path = std::getenv("TWOPASS_REGISTRY"); explicit_path && *explicit_path)
        return explicit_path;
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config == '/')
        return std::string(config) + "/twopass/registry.reg";
    if (const char* home = std::getenv("HOME"); home && *home) return std::string(home) + "/.config/twopass/registry.reg";
    return {};
}

void append_utf8(std::string& out, uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// The file's text as UTF-8, whichever of the two encodings it is in.
std::string decode_text(const std::string& raw) {
    if (raw.size() >= 2 && static_cast<BYTE>(raw[0]) == 0xFF && static_cast<BYTE>(raw[1]) == 0xFE) {
        std::string out;
        for (size_t i = 2; i + 1 < raw.size(); i += 2) {
            uint32_t unit = static_cast<BYTE>(raw[i]) | (static_cast<uint32_t>(static_cast<BYTE>(raw[i + 1])) << 8);
            if (unit >= 0xD800 && unit < 0xDC00 && i + 3 < raw.size()) {
                uint32_t low = static_cast<BYTE>(raw[i + 2]) | (static_cast<uint32_t>(static_cast<BYTE>(raw[i + 3])) << 8);
                if (low >= 0xDC00 && low < 0xE000) {
                    append_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                    i += 2;
                    continue;
                }
            }
            append_utf8(out, unit);
        }
        return out;
    }
    if (raw.size() >= 3 && raw.compare(0, 3, "\xEF\xBB\xBF") == 0) return raw.substr(3);
    return raw;
}

// Lines of the file with backslash continuations joined.
std::vector<std::string> logical_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    std::string pending;
    bool continuing = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::string piece = continuing ? trim(line) : line;
        std::string trimmed_end = piece;
        while (!trimmed_end.empty() && (trimmed_end.back() == ' ' || trimmed_end.back() == '\t')) trimmed_end.pop_back();
        // Only hex lists continue over lines; a backslash that ends a quoted
        // text belongs to the text.
        bool in_hex = (continuing || trimmed_end.find("=hex") != std::string::npos) &&
                      trimmed_end.find('"', trimmed_end.find('=') + 1) == std::string::npos;
        if (in_hex && !trimmed_end.empty() && trimmed_end.back() == '\\') {
            trimmed_end.pop_back();
            pending += trimmed_end;
            continuing = true;
            continue;
        }
        pending += piece;
        lines.push_back(pending);
        pending.clear();
        continuing = false;
    }
    if (!pending.empty()) lines.push_back(pending);
    return lines;
}

// A quoted text starting at text[pos] == '"'; pos ends after the closing quote.
bool parse_quoted(const std::string& text, size_t& pos, std::string& out) {
    out.clear();
    ++pos;
    while (pos < text.size()) {
        char c = text[pos++];
        if (c == '"') return true;
        if (c == '\\' && pos < text.size() && (text[pos] == '\\' || text[pos] == '"')) {
            out += text[pos++];
            continue;
        }
        out += c;
    }
    return false;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool parse_hex_list(const std::string& text, std::vector<BYTE>& out) {
    out.clear();
    std::string item;
    std::istringstream in(text);
    while (std::getline(in, item, ',')) {
        item = trim(item);
        if (item.empty()) continue;
        if (item.size() > 2) return false;
        int value = 0;
        for (char c : item) {
            int digit = hex_digit(c);
            if (digit < 0) return false;
            value = value * 16 + digit;
        }
        out.push_back(static_cast<BYTE>(value));
    }
    return true;
}

// Data after the '=' of a value line. deleted is set for "name"=-.
bool parse_data(const std::string& text, RegistryValue& value, bool& deleted) {
    deleted = false;
    std::string data = trim(text);
    if (data == "-") {
        deleted = true;
        return true;
    }
    if (!data.empty() && data[0] == '"') {
        size_t pos = 0;
        std::string content;
        if (!parse_quoted(data, pos, content) || !trim(data.substr(pos)).empty()) return false;
        value.type = REG_SZ;
        value.data.assign(content.begin(), content.end());
        value.data.push_back(0);
        return true;
    }
    std::string head = lower(data.substr(0, std::min<size_t>(data.size(), 6)));
    if (head == "dword:") {
        std::string digits = trim(data.substr(6));
        if (digits.empty() || digits.size() > 8) return false;
        DWORD number = 0;
        for (char c : digits) {
            int digit = hex_digit(c);
            if (digit < 0) return false;
            number = number * 16 + static_cast<DWORD>(digit);
        }
        value.type = REG_DWORD;
        value.data = {static_cast<BYTE>(number), static_cast<BYTE>(number >> 8), static_cast<BYTE>(number >> 16),
                      static_cast<BYTE>(number >> 24)};
        return true;
    }
    if (lower(data.substr(0, 4)) == "hex:") {
        value.type = REG_BINARY;
        return parse_hex_list(data.substr(4), value.data);
    }
    if (lower(data.substr(0, 4)) == "hex(") {
        size_t close = data.find("):");
        if (close == std::string::npos || close == 4) return false;
        DWORD type = 0;
        for (size_t i = 4; i < close; ++i) {
            int digit = hex_digit(data[i]);
            if (digit < 0) return false;
            type = type * 16 + static_cast<DWORD>(digit);
        }
        value.type = type;
        return parse_hex_list(data.substr(close + 2), value.data);
    }
    return false;
}


// Root names as the file spells them, with their short forms.
std::string canonical_path(const std::string& path) {
    std::string result = lower(path);
    while (!result.empty() && result.back() == '\\') result.pop_back();
    size_t slash = result.find('\\');
    std::string root = result.substr(0, slash);
    std::string rest = slash == std::string::npos ? std::string() : result.substr(slash);
    if (root == "hkcu") root = "hkey_current_user";
    if (root == "hklm") root = "hkey_local_machine";
    if (root == "hkcr") root = "hkey_classes_root";
    return root + rest;
}

// The file's bytes; false when it is missing or not a registry file (not a
// regular file, or larger than kMaxRegistryBytes). Checked before the open,
// since opening a FIFO blocks.
bool read_bounded(const std::string& path, std::string& raw) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) > kMaxRegistryBytes)
        return false;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    // The name may have been replaced since the check.
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    raw.clear();
    char buffer[64 * 1024];
    while (ok) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        raw.append(buffer, static_cast<size_t>(n));
        if (raw.size() > kMaxRegistryBytes) ok = false;  // grew while being read
    }
    close(fd);
    return ok;
}

RegistryFile read_registry_file() {
    RegistryFile file;
    std::string path = registry_file_path();
    if (path.empty()) return file;
    std::string raw;
    if (!read_bounded(path, raw)) return file;
    std::vector<std::string> lines = logical_lines(decode_text(raw));

    size_t first = 0;
    while (first < lines.size() && trim(lines[first]).empty()) ++first;
    if (first == lines.size()) return file;
    std::string header = trim(lines[first]);
    if (header != "Windows Registry Editor Version 5.00" && header != "REGEDIT4") return file;

    RegistryKey* current = nullptr;
    for (size_t i = first + 1; i < lines.size(); ++i) {
        std::string line = trim(lines[i]);
        if (line.empty() || line[0] == ';') continue;
        if (line.front() == '[' && line.back() == ']') {
            std::string name = line.substr(1, line.size() - 2);
            if (!name.empty() && name[0] == '-') {
                // A deleted key takes its subkeys with it.
                std::string gone = canonical_path(name.substr(1));
                for (RegistryKey& key : file.keys) {
                    if (key.deleted || (key.path != gone && !key.path.starts_with(gone + "\\"))) continue;
                    key.deleted = true;
                    file.index.erase(key.path);
                }
                current = nullptr;
                continue;
            }
            std::string key_path = canonical_path(name);
            auto [at, added] = file.index.try_emplace(key_path, file.keys.size());
            if (added) file.keys.push_back(RegistryKey{key_path, {}, {}, false});
            current = &file.keys[at->second];
            continue;
        }
        if (!current) continue;
        RegistryValue value;
        size_t pos = 0;
        if (line[0] == '@') {
            pos = 1;
        } else if (line[0] == '"') {
            if (!parse_quoted(line, pos, value.name)) continue;
        } else {
            continue;
        }
        while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
        if (pos >= line.size() || line[pos] != '=') continue;
        bool deleted = false;
        if (!parse_data(line.substr(pos + 1), value, deleted)) continue;
        auto same = current->index.find(lower(value.name));
        if (deleted) {
            if (same != current->index.end()) {
                current->values[same->second].deleted = true;
                current->index.erase(same);
            }
        } else if (same != current->index.end()) {
            current->values[same->second] = std::move(value);  // a value set again keeps its place
        } else {
            current->index.emplace(lower(value.name), current->values.size());
            current->values.push_back(std::move(value));
        }
    }
    for (RegistryKey& key : file.keys) {
        std::erase_if(key.values, [](const RegistryValue& v) { return v.deleted; });
        key.index.clear();
    }
    std::erase_if(file.keys, [](const RegistryKey& key) { return key.deleted; });
    return file;
}

const char* root_name(HKEY key) {
    if (key == HKEY_CURRENT_USER) return "hkey_current_user";
    if (key == HKEY_LOCAL_MACHINE) return "hkey_local_machine";
    if (key == HKEY_CLASSES_ROOT) return "hkey_classes_root";
    return nullptr;
}

// The open key behind a handle, or null for anything we did not hand out.
RegistryKey* open_key(HKEY handle) {
    auto* key = reinterpret_cast<RegistryKey*>(handle);
    std::lock_guard lock(open_keys_mutex);
    return open_keys.count(key) ? key : nullptr;
}

}  // namespace

LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM, PHKEY phkResult) {
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    std::string base;
    if (const char* root = root_name(hKey)) {
        base = root;
    } else if (RegistryKey* parent = open_key(hKey)) {
        base = parent->path;
    } else {
        return ERROR_INVALID_HANDLE;
    }
    std::string path = base;
    if (lpSubKey && *lpSubKey) {
        if (*lpSubKey == '\\') return ERROR_FILE_NOT_FOUND;  // as Windows: no leading backslash
        path += "\\" + lower(lpSubKey);
        while (path.back() == '\\') path.pop_back();
    }

    RegistryFile file = read_registry_file();
    auto* key = new RegistryKey{path, {}, {}, false};
    bool exists = root_name(hKey) && path == base;  // the roots always exist
    for (RegistryKey& k : file.keys) {
        if (k.path == path) {
            key->values = std::move(k.values);
            exists = true;
        } else if (k.path.starts_with(path + "\\")) {
            exists = true;  // a subkey's section implies its parents
        }
    }
    if (!exists) {
        delete key;
        return ERROR_FILE_NOT_FOUND;
    }
    std::lock_guard lock(open_keys_mutex);
    open_keys.insert(key);
    *phkResult = reinterpret_cast<HKEY>(key);
    return ERROR_SUCCESS;
}

LONG WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                          LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    RegistryKey* key = open_key(hKey);
    if (!key) return ERROR_INVALID_HANDLE;
    if (!lpValueName || !lpcchValueName || lpReserved) return ERROR_INVALID_PARAMETER;
    if (lpData && !lpcbData) return ERROR_INVALID_PARAMETER;
    if (dwIndex >= key->values.size()) return ERROR_NO_MORE_ITEMS;
    const RegistryValue& value = key->values[dwIndex];

    // The name's buffer size counts its terminating zero; the answer does not.
    if (value.name.size() + 1 > *lpcchValueName) return ERROR_MORE_DATA;
    const DWORD data_size = static_cast<DWORD>(value.data.size());
    if (lpData && data_size > *lpcbData) {
        *lpcbData = data_size;
        return ERROR_MORE_DATA;
    }
    std::memcpy(lpValueName, value.name.c_str(), value.name.size() + 1);
    *lpcchValueName = static_cast<DWORD>(value.name.size());
    if (lpType) *lpType = value.type;
    if (lpData && data_size) std::memcpy(lpData, value.data.data(), data_size);
    if (lpcbData) *lpcbData = data_size;
    return ERROR_SUCCESS;
}

LONG WINAPI RegCloseKey(HKEY hKey) {
    if (root_name(hKey)) return ERROR_SUCCESS;
    auto* key = reinterpret_cast<RegistryKey*>(hKey);
    {
        std::lock_guard lock(open_keys_mutex);
        if (!open_keys.erase(key)) return ERROR_INVALID_HANDLE;
    }
    delete key;
    return ERROR_SUCCESS;
}
