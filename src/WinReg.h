// The registry key object through which every registry key is opened,
// listed, read and deleted. Registry failures are not errors: an open that
// fails is reported through regOpenFailed, and listings and deletions that
// fail pass silently. The one error raised is ERegistryException, from
// ReadSubkeyString, for a value that cannot be read as a string.
#pragma once

#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "Types.h"
#include "WinTypes.h"

namespace qvinst {

// Derived from std::exception with its own message rather than from
// std::runtime_error, whose message is a second string implementation that
// the DLL would otherwise carry.
class ERegistryException : public std::exception {
public:
  explicit ERegistryException(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

private:
  std::string message_;
};

// Describes the most recent construction of any TWinRegistry object. Code
// that holds the object asks it (isOpen) instead.
extern bool regOpenFailed;

void initWinReg();

// Path rule for every path an operation takes: a leading backslash is dropped
// and the path opened below the root key; any other path is opened below the
// current key, or below the root key while there is none.
class TWinRegistry {
public:
  // Open an existing key (never created) with KEY_ALL_ACCESS, or for listing
  // only with KEY_READ; every later subkey open asks for the same rights.
  // Always returns an object; a failed open leaves it without a current key.
  static std::unique_ptr<TWinRegistry> OpenWithKey(HKEY root, std::string_view path);
  static std::unique_ptr<TWinRegistry> OpenWithKeyReadOnly(HKEY root, std::string_view path);

  // Release: flushes (after a successful open) and closes the current key.
  ~TWinRegistry();
  TWinRegistry(const TWinRegistry&) = delete;
  TWinRegistry& operator=(const TWinRegistry&) = delete;

  // The current key's subkey names in the platform's index order. A name
  // that holds a NUL is left out with a trace line: the ANSI calls cannot
  // reach it, and its text up to the NUL names another key.
  void ReadSection(TStringList& list);
  // The value names of a subkey, names holding a NUL left out as above; a
  // subkey that cannot be opened leaves the list as it was.
  void ReadValueNames(std::string_view subkey, TStringList& list);
  // Deletes the subkey and everything below it, children first, at any
  // depth; a child whose name is empty or holds a NUL is not entered.
  // Failures pass silently.
  void eraseSection(std::string_view subkey);
  // Deletes one named value of a subkey.
  void DeleteKey(std::string_view subkey, std::string_view valueName);
  // A string value of a subkey, or the default when the subkey or the value
  // is missing. Throws ERegistryException for a value that exists but cannot
  // be read, or is neither REG_SZ nor REG_EXPAND_SZ.
  std::string ReadSubkeyString(std::string_view subkey, std::string_view valueName,
                               std::string_view defaultText);

  bool isOpen() const { return currentKey_ != nullptr; }
  REGSAM accessMask() const { return access_; }

private:
  TWinRegistry();
  static std::unique_ptr<TWinRegistry> open(HKEY root, std::string_view path, bool readOnly);

  // Where a path is opened and what is left of it after the path rule.
  HKEY baseFor(std::string_view path, std::string& relative) const;
  void deleteRecursive(std::string_view path);
  class CurrentKeySwap;

  HKEY currentKey_ = nullptr;
  HKEY rootKey_;
  bool lazyWrite_ = true;
  std::string currentPath_;
  REGSAM access_ = KEY_ALL_ACCESS;
  std::string openedPath_;
};

}  // namespace qvinst
