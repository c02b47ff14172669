// The administrator's policy on Windows: REG_SZ values under
// HKEY_LOCAL_MACHINE\SOFTWARE\Policies\Quon\QuonUpdate, where Group Policy
// puts them, read from the 64-bit view on a 64-bit system (this 32-bit
// program would otherwise be shown the WOW64 copy). Only administrators can
// write under that key.
#include <windows.h>

#include <vector>

#include "update/AdminPolicy.h"

namespace quon {

namespace {

constexpr wchar_t kSubKey[] = L"SOFTWARE\\Policies\\Quon\\QuonUpdate";
// More values than any policy needs are refused, as are long ones.
constexpr DWORD kMaxValues = 64;
constexpr DWORD kMaxValueChars = 2048;

// Policy values are ASCII (URLs, versions, on/off); anything else is shown
// as '?' and then refused by the value's check.
std::string AsciiText(const wchar_t* text, size_t n) {
  std::string out;
  for (size_t i = 0; i < n && text[i] != L'\0'; ++i) {
    out += text[i] >= 0x20 && text[i] < 0x7F ? static_cast<char>(text[i]) : '?';
  }
  return out;
}

PolicyReading Failed(const std::string& why) {
  PolicyReading reading;
  reading.ok = false;
  reading.found = true;
  reading.source = kPolicyRegistryKey;
  reading.error = "The administrator's policy " + std::string(kPolicyRegistryKey) + " " + why + ".";
  return reading;
}

}  // namespace

PolicyReading ReadAdminPolicy(bool httpsOnly) {
  HKEY key = nullptr;
  const LONG opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSubKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key);
  if (opened == ERROR_FILE_NOT_FOUND || opened == ERROR_PATH_NOT_FOUND) {
    PolicyReading none;
    none.source = kPolicyRegistryKey;
    return none;
  }
  if (opened != ERROR_SUCCESS) return Failed("cannot be read (error " + std::to_string(opened) + ")");
  DWORD count = 0;
  PolicyReading result;
  std::vector<PolicyValue> values;
  if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr,
                       nullptr) != ERROR_SUCCESS) {
    result = Failed("cannot be read");
  } else if (count > kMaxValues) {
    result = Failed("holds more than " + std::to_string(kMaxValues) + " values");
  }
  for (DWORD i = 0; result.ok && i < count; ++i) {
    wchar_t name[256];
    DWORD nameChars = 256;
    std::vector<wchar_t> data(kMaxValueChars + 1, L'\0');
    DWORD type = 0;
    DWORD bytes = kMaxValueChars * sizeof(wchar_t);
    const LONG got =
        RegEnumValueW(key, i, name, &nameChars, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &bytes);
    const std::string valueName = AsciiText(name, got == ERROR_MORE_DATA ? 0 : nameChars);
    if (got == ERROR_NO_MORE_ITEMS) break;
    if (got == ERROR_MORE_DATA) {
      result = Failed("holds a value longer than " + std::to_string(kMaxValueChars) + " characters");
    } else if (got != ERROR_SUCCESS) {
      result = Failed("cannot be read (error " + std::to_string(got) + ")");
    } else if (valueName.empty()) {
      continue;  // the key's default value is no setting
    } else if (type != REG_SZ) {
      result = Failed("value " + valueName + " is not a string (REG_SZ)");
    } else {
      values.push_back({valueName, AsciiText(data.data(), bytes / sizeof(wchar_t)), "value " + valueName});
    }
  }
  RegCloseKey(key);
  if (!result.ok) return result;
  return PolicyFromValues(kPolicyRegistryKey, std::move(values), httpsOnly);
}

}  // namespace quon
