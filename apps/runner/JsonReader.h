#pragma once
// Reading a JSON file that an operator wrote: every refusal names the file and the JSON
// path of the value at fault ("site.json: cfm.domains[0].level: ..."), a key given twice
// or a key an object does not know is an error instead of a value silently lost, and text
// that is not JSON is refused at its line and column.

#include <initializer_list>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace Runner {

// A configuration refused: what() is "<file>: <JSON path>: <what is wrong>", or
// "<file>:<line>:<column>: <what is wrong>" for a file that is not JSON.
class ConfigError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

namespace Json {

// The document in `text`, refusing syntax errors and duplicate keys. `file` is only used
// in messages.
nlohmann::json parse(std::string_view text, const std::string& file);

// JSON paths: `cfm.domains[0]`, with keys that are not plain words quoted (`vlans["a b"]`).
std::string memberPath(const std::string& path, std::string_view key);
std::string indexPath(const std::string& path, std::size_t index);

// A value as an operator would write it, cut short when long; "an object", "an array".
std::string shown(const nlohmann::json& value);

// A value of the file with its JSON path; every refusal names both.
class Node {
 public:
  Node(const std::string& file, const nlohmann::json& value, std::string path)
      : file_(&file), value_(&value), path_(std::move(path)) {}

  const nlohmann::json& value() const { return *value_; }
  const std::string& path() const { return path_; }

  [[noreturn]] void fail(const std::string& what) const;
  // Refuses the value unless `ok`: "expected <what>, got <value>".
  void expect(bool ok, const std::string& what) const;

  const std::string& string(const std::string& what) const;
  bool boolean() const;
  bool isNonNegativeInteger() const;
  // An integer within [lo, hi]; anything else is "<value> is not <what> (<range>)", the
  // range being "lo-hi" unless given.
  std::uint64_t integer(std::uint64_t lo, std::uint64_t hi, const std::string& what,
                        const std::string& range = "") const;
  std::vector<Node> elements(const std::string& what) const;
  // The members of an object whose keys are data (interface names, MAC addresses).
  std::vector<std::pair<std::string, Node>> members(const std::string& what) const;
  Node member(const std::string& key) const;

 private:
  const std::string* file_;
  const nlohmann::json* value_;
  std::string path_;
};

// An object with a fixed set of keys. Any other key is refused: a misspelt key must be an
// error, not a setting silently left at its default.
class Fields {
 public:
  Fields(const Node& node, std::initializer_list<const char*> known, const std::string& what);

  bool has(const char* key) const { return node_.value().contains(key); }
  std::optional<Node> find(const char* key) const;
  // The member `key`, refused as missing when absent.
  Node get(const char* key) const;

 private:
  Node node_;
};

}  // namespace Json
}  // namespace Runner
