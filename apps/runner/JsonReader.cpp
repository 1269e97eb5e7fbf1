#include "apps/runner/JsonReader.h"

#include <algorithm>
#include <cctype>
#include <functional>
#include <set>

namespace Runner::Json {

using nlohmann::json;

namespace {

bool plainKey(std::string_view key) {
  return !key.empty() && std::all_of(key.begin(), key.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '/' ||
           c == ':';
  });
}

// Object keys are kept in a map, so a key given twice would silently lose its first value.
// The parser's callback sees every key in file order and notes the first repetition.
class DuplicateKeyFinder {
 public:
  bool operator()(int, json::parse_event_t event, json& parsed) {
    switch (event) {
      case json::parse_event_t::object_start:
      case json::parse_event_t::array_start:
        stack_.push_back({event == json::parse_event_t::object_start, {}, {}, 0});
        break;
      case json::parse_event_t::object_end:
      case json::parse_event_t::array_end:
        stack_.pop_back();
        elementDone();
        break;
      case json::parse_event_t::key: {
        auto& container = stack_.back();
        container.key = parsed.get<std::string>();
        if (!container.keys.insert(container.key).second && duplicatePath_.empty()) {
          duplicatePath_ = pathHere();
        }
        break;
      }
      case json::parse_event_t::value:
        elementDone();
        break;
    }
    return true;
  }
  const std::string& duplicatePath() const { return duplicatePath_; }

 private:
  // One open JSON container.
  struct Level {
    bool object;
    std::set<std::string> keys;
    std::string key;
    std::size_t index;
  };
  void elementDone() {
    if (!stack_.empty() && !stack_.back().object) ++stack_.back().index;
  }
  std::string pathHere() const {
    std::string path;
    for (const auto& level : stack_) {
      path = level.object ? memberPath(path, level.key) : indexPath(path, level.index);
    }
    return path;
  }

  std::vector<Level> stack_;
  std::string duplicatePath_;
};

}  // namespace

json parse(std::string_view text, const std::string& file) {
  DuplicateKeyFinder finder;
  json root;
  try {
    root = json::parse(text.begin(), text.end(), std::ref(finder));
  } catch (const json::parse_error& e) {
    // The library's text is "[json.exception...] parse error at line L, column C: why".
    std::string why = e.what();
    if (auto at = why.find("column "); at != std::string::npos) {
      if (auto colon = why.find(": ", at); colon != std::string::npos) why = why.substr(colon + 2);
    }
    std::size_t line = 1, column = 0;
    const std::size_t end = std::min<std::size_t>(e.byte ? e.byte : 1, text.size() + 1);
    for (std::size_t i = 0; i + 1 < end; ++i) {
      if (text[i] == '\n') {
        ++line;
        column = 0;
      } else {
        ++column;
      }
    }
    throw ConfigError(file + ":" + std::to_string(line) + ":" + std::to_string(column + 1) + ": " +
                      why);
  } catch (const json::out_of_range& e) {
    // A number too large for any type, such as 1E999: the library names the number.
    std::string why = e.what();
    if (auto at = why.find("] "); at != std::string::npos) why = why.substr(at + 2);
    throw ConfigError(file + ": " + why);
  }
  if (!finder.duplicatePath().empty()) {
    throw ConfigError(file + ": " + finder.duplicatePath() + ": key given twice");
  }
  return root;
}

std::string memberPath(const std::string& path, std::string_view key) {
  if (plainKey(key)) return path.empty() ? std::string(key) : path + "." + std::string(key);
  return path + "[" + json(std::string(key)).dump(-1, ' ', false, json::error_handler_t::replace) +
         "]";
}

std::string indexPath(const std::string& path, std::size_t index) {
  return path + "[" + std::to_string(index) + "]";
}

std::string shown(const json& value) {
  if (value.is_object()) return "an object";
  if (value.is_array()) return "an array";
  std::string text = value.dump(-1, ' ', false, json::error_handler_t::replace);
  if (text.size() > 60) text = text.substr(0, 57) + "...";
  return text;
}

void Node::fail(const std::string& what) const {
  throw ConfigError(*file_ + ": " + (path_.empty() ? "" : path_ + ": ") + what);
}

void Node::expect(bool ok, const std::string& what) const {
  if (!ok) fail("expected " + what + ", got " + shown(*value_));
}

const std::string& Node::string(const std::string& what) const {
  expect(value_->is_string(), what);
  return value_->get_ref<const std::string&>();
}

bool Node::boolean() const {
  expect(value_->is_boolean(), "true or false");
  return value_->get<bool>();
}

bool Node::isNonNegativeInteger() const {
  return value_->is_number_unsigned() ||
         (value_->is_number_integer() && value_->get<std::int64_t>() >= 0);
}

std::uint64_t Node::integer(std::uint64_t lo, std::uint64_t hi, const std::string& what,
                            const std::string& range) const {
  if (!isNonNegativeInteger() || value_->get<std::uint64_t>() < lo ||
      value_->get<std::uint64_t>() > hi) {
    fail(shown(*value_) + " is not " + what + " (" +
         (range.empty() ? std::to_string(lo) + "-" + std::to_string(hi) : range) + ")");
  }
  return value_->get<std::uint64_t>();
}

std::vector<Node> Node::elements(const std::string& what) const {
  expect(value_->is_array(), what);
  std::vector<Node> nodes;
  for (std::size_t i = 0; i < value_->size(); ++i) {
    nodes.emplace_back(*file_, (*value_)[i], indexPath(path_, i));
  }
  return nodes;
}

std::vector<std::pair<std::string, Node>> Node::members(const std::string& what) const {
  expect(value_->is_object(), what);
  std::vector<std::pair<std::string, Node>> nodes;
  for (const auto& [key, v] : value_->items()) {
    nodes.emplace_back(key, Node(*file_, v, memberPath(path_, key)));
  }
  return nodes;
}

Node Node::member(const std::string& key) const {
  return Node(*file_, value_->at(key), memberPath(path_, key));
}

Fields::Fields(const Node& node, std::initializer_list<const char*> known,
               const std::string& what)
    : node_(node) {
  node.expect(node.value().is_object(), what);
  for (const auto& item : node.value().items()) {
    const std::string& key = item.key();
    if (std::none_of(known.begin(), known.end(), [&](const char* k) { return key == k; })) {
      std::vector<std::string> sorted(known.begin(), known.end());
      std::sort(sorted.begin(), sorted.end());
      std::string list;
      for (const auto& k : sorted) list += (list.empty() ? "" : ", ") + k;
      node.member(key).fail("unknown key (known here: " + list + ")");
    }
  }
}

std::optional<Node> Fields::find(const char* key) const {
  if (!has(key)) return std::nullopt;
  return node_.member(key);
}

Node Fields::get(const char* key) const {
  if (!has(key)) node_.fail(std::string("\"") + key + "\" is missing");
  return node_.member(key);
}

}  // namespace Runner::Json
