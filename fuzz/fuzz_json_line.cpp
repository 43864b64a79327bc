// Fuzzes the JSON line writers (support::jsonLine, the probe's Report lines,
// the tap's event lines) with arbitrary strings as keys and values: when the
// writer gives a line it is one compact line of valid JSON, keys ascending,
// that nlohmann::json parses back to the input; when any string is not
// UTF-8 (or a number has no JSON form, or a key repeats) it gives none.
#include <cmath>
#include <cstdlib>
#include <limits>
#include <nlohmann/json.hpp>
#include <set>

#include "fuzz/checks.h"
#include "fuzz/fuzz_input.h"
#include "probe/messages.h"
#include "support/json_line.h"
#include "tap/events.h"

namespace {

using fuzz::check;
using fuzz::validUtf8;
using nlohmann::json;
using support::JsonArray;
using support::JsonObject;
using support::JsonValue;

void appendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += char(cp);
  } else if (cp < 0x800) {
    out += char(0xC0 | (cp >> 6));
    out += char(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += char(0xE0 | (cp >> 12));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  } else {
    out += char(0xF0 | (cp >> 18));
    out += char(0x80 | ((cp >> 12) & 0x3F));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  }
}

// Raw bytes (mostly not UTF-8) or text built from code points, weighted
// towards what needs escaping and the edges of the encoding.
std::string text(fuzz::FuzzInput& in) {
  if (in.below(4) == 0) return in.bytes(24);
  static const uint32_t kEdges[] = {0x7F,   0x80,    0x7FF,   0x800,
                                    0xD7FF, 0xE000,  0xFFFD,  0xFFFF,
                                    0x2028, 0x10000, 0x10FFFF};
  static const char kSpecial[] = "/\"\\\b\f\n\r\t";
  std::string out;
  for (uint32_t n = in.below(12); n > 0; --n) {
    switch (in.below(8)) {
      case 0:
        appendUtf8(out, in.below(0x20));
        break;
      case 1:
        out += kSpecial[in.below(sizeof kSpecial - 1)];
        break;
      case 2:
        appendUtf8(out, 0x80 + in.below(0x800 - 0x80));
        break;
      case 3: {
        uint32_t cp = 0x800 + in.below(0x10000 - 0x800);
        if (cp >= 0xD800 && cp <= 0xDFFF) cp -= 0x800;  // no surrogates
        appendUtf8(out, cp);
        break;
      }
      case 4:
        appendUtf8(out, 0x10000 + in.below(0x110000 - 0x10000));
        break;
      case 5:
        appendUtf8(out, kEdges[in.below(sizeof kEdges / sizeof kEdges[0])]);
        break;
      default:
        out += char(0x20 + in.below(0x5F));
    }
  }
  if (in.below(16) == 0 && !out.empty()) out.pop_back();  // may cut a sequence
  return out;
}

double number(fuzz::FuzzInput& in) {
  static const double kEdges[] = {0.0,
                                  -0.0,
                                  48000.0,
                                  0.1,
                                  -2.5,
                                  9007199254740993.0,
                                  9223372036854775807.0,
                                  -9223372036854775808.0,
                                  1.8446744073709552e19,
                                  1e300,
                                  5e-324,
                                  std::numeric_limits<double>::max(),
                                  std::numeric_limits<double>::infinity(),
                                  -std::numeric_limits<double>::infinity(),
                                  std::numeric_limits<double>::quiet_NaN()};
  if (in.flag()) return kEdges[in.below(sizeof kEdges / sizeof kEdges[0])];
  return in.value<double>();
}

// A value and what it should read back as; `writable` turns false when the
// value has no JSON form.
struct Built {
  JsonValue value;
  json expected;
};

Built build(fuzz::FuzzInput& in, int depth, bool& writable) {
  switch (in.below(depth < 3 ? 8 : 5)) {
    case 0:
    case 1: {
      std::string s = text(in);
      writable = writable && validUtf8(s);
      json expected = validUtf8(s) ? json(s) : json();
      return {JsonValue{std::move(s)}, std::move(expected)};
    }
    case 2: {
      const int64_t i = in.value<int64_t>();
      return {JsonValue{i}, json(i)};
    }
    case 3: {
      const double d = number(in);
      writable = writable && std::isfinite(d);
      return {JsonValue{d}, std::isfinite(d) ? json(d) : json()};
    }
    case 4: {
      const bool b = in.flag();
      return {JsonValue{b}, json(b)};
    }
    case 5:
    case 6: {
      JsonArray array;
      json expected = json::array();
      for (uint32_t n = in.below(5); n > 0; --n) {
        Built element = build(in, depth + 1, writable);
        array.push_back(std::move(element.value));
        expected.push_back(std::move(element.expected));
      }
      return {JsonValue{std::move(array)}, std::move(expected)};
    }
    default: {
      JsonObject object;
      json expected = json::object();
      std::set<std::string> keys;
      for (uint32_t n = in.below(6); n > 0; --n) {
        std::string key = in.below(4) == 0 && !object.empty()
                              ? object[in.below(uint32_t(object.size()))].first
                              : text(in);
        writable = writable && validUtf8(key) && keys.insert(key).second;
        Built member = build(in, depth + 1, writable);
        if (validUtf8(key)) expected[key] = std::move(member.expected);
        object.emplace_back(std::move(key), std::move(member.value));
      }
      return {JsonValue{std::move(object)}, std::move(expected)};
    }
  }
}

// Every object's keys in strictly ascending byte order.
void checkSorted(const nlohmann::ordered_json& value) {
  if (value.is_object()) {
    const std::string* previous = nullptr;
    for (const auto& [key, member] : value.items()) {
      check(previous == nullptr || *previous < key);
      previous = &key;
      checkSorted(member);
    }
  } else if (value.is_array()) {
    for (const auto& element : value) checkSorted(element);
  }
}

// One line ending in "\n", no whitespace outside strings, valid JSON with
// sorted keys; returns what it parses to.
json checkLine(const std::string& line) {
  check(!line.empty() && line.back() == '\n');
  check(line.find('\n') == line.size() - 1);
  check(line.find('\r') == std::string::npos);
  bool inString = false;
  for (size_t i = 0; i + 1 < line.size(); ++i) {
    const char c = line[i];
    if (inString) {
      check(static_cast<unsigned char>(c) >= 0x20);  // controls are escaped
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        inString = false;
      }
    } else {
      check(c != ' ' && c != '\t');
      inString = c == '"';
    }
  }
  const auto ordered = nlohmann::ordered_json::parse(line, nullptr, false);
  check(!ordered.is_discarded());
  checkSorted(ordered);
  return json::parse(line);
}

void fuzzTree(fuzz::FuzzInput& in) {
  bool writable = true;
  const Built built = build(in, 0, writable);
  const std::optional<std::string> line = support::jsonLine(built.value);
  check(line.has_value() == writable);
  if (line) check(checkLine(*line) == built.expected);

  // A string on its own through appendJsonString.
  const std::string s = text(in);
  std::string out;
  const bool appended = support::appendJsonString(out, s);
  check(appended == validUtf8(s));
  if (appended) check(json::parse(out) == json(s));
}

void fuzzReport(fuzz::FuzzInput& in) {
  probe::Report report;
  report.micHot = in.flag();
  report.audioPlaying = in.flag();
  bool writable = true;
  for (uint32_t n = in.below(4); n > 0; --n) {
    probe::Owner owner;
    owner.pid = in.value<int32_t>();
    owner.name = text(in);
    if (in.flag()) owner.bundleID = text(in);
    const uint8_t flags = in.byte();
    owner.input = flags & 1;
    owner.output = flags & 2;
    owner.gui = flags & 4;
    owner.ignored = flags & 8;
    writable = writable && validUtf8(owner.name) &&
               (!owner.bundleID || validUtf8(*owner.bundleID));
    report.owners.push_back(std::move(owner));
  }
  const std::optional<std::string> line = probe::encodeLine(report);
  check(line.has_value() == writable);
  if (!line) return;
  json owners = json::array();
  for (const probe::Owner& o : report.owners) {
    json owner = {{"pid", o.pid},     {"name", o.name},
                  {"input", o.input}, {"output", o.output},
                  {"gui", o.gui},     {"ignored", o.ignored}};
    if (o.bundleID) owner["bundleID"] = *o.bundleID;  // absent: no key at all
    owners.push_back(std::move(owner));
  }
  check(checkLine(*line) == json({{"type", "state"},
                                  {"micHot", report.micHot},
                                  {"audioPlaying", report.audioPlaying},
                                  {"owners", std::move(owners)}}));
}

void fuzzEvent(fuzz::FuzzInput& in) {
  if (in.flag()) {
    const std::string reason = text(in), from = text(in), to = text(in);
    const std::optional<std::string> line =
        tap::eventLine(tap::deviceChangedEvent(reason, from, to));
    check(line.has_value() ==
          (validUtf8(reason) && validUtf8(from) && validUtf8(to)));
    if (line) {
      check(checkLine(*line) == json({{"type", "device-changed"},
                                      {"reason", reason},
                                      {"from", from},
                                      {"to", to}}));
    }
    return;
  }
  const double sampleRate = number(in), tapRate = number(in);
  const int64_t channels = in.value<int64_t>(),
                inputChannels = in.value<int64_t>();
  const bool isFloat = in.flag();
  const std::string uid = text(in);
  const std::optional<std::string> line = tap::eventLine(tap::formatEvent(
      sampleRate, channels, isFloat, uid, tapRate, inputChannels));
  check(line.has_value() == (std::isfinite(sampleRate) &&
                             std::isfinite(tapRate) && validUtf8(uid)));
  if (line) {
    check(checkLine(*line) == json({{"type", "format"},
                                    {"sampleRate", sampleRate},
                                    {"channels", channels},
                                    {"sourceIsFloat", isFloat},
                                    {"encoding", "s16le"},
                                    {"outputDeviceUID", uid},
                                    {"tapRate", tapRate},
                                    {"deviceInputChannels", inputChannels}}));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::FuzzInput in(data, size);
  switch (in.below(4)) {
    case 0:
    case 1:
      fuzzTree(in);
      break;
    case 2:
      fuzzReport(in);
      break;
    default:
      fuzzEvent(in);
  }
  return 0;
}
