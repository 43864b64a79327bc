// The probe's records as sorted-key JSON lines, and their equality.
#include "probe/messages.h"

#include <unistd.h>

#include "support/json_line.h"
#include "support/unicode_text.h"
#include "support/write_all.h"

namespace probe {
namespace {

using support::JsonArray;
using support::JsonObject;
using support::JsonValue;

JsonValue toJson(const Owner& owner) {
  JsonObject object{
      {"pid", JsonValue{int64_t{owner.pid}}},
      {"name", JsonValue{owner.name}},
      {"input", JsonValue{owner.input}},
      {"output", JsonValue{owner.output}},
      {"gui", JsonValue{owner.gui}},
      {"ignored", JsonValue{owner.ignored}},
  };
  // An absent bundle identifier has no key at all; an empty one is kept.
  if (owner.bundleID)
    object.emplace_back("bundleID", JsonValue{*owner.bundleID});
  return JsonValue{std::move(object)};
}

void writeLine(const std::optional<std::string>& line) {
  if (line) support::writeAll(STDOUT_FILENO, line->data(), line->size());
}

bool optionalTextEqual(const std::optional<std::string>& a,
                       const std::optional<std::string>& b) {
  if (!a || !b) return !a && !b;
  return support::textEqual(*a, *b);
}

}  // namespace

bool operator==(const Owner& a, const Owner& b) {
  return a.pid == b.pid && support::textEqual(a.name, b.name) &&
         optionalTextEqual(a.bundleID, b.bundleID) && a.input == b.input &&
         a.output == b.output && a.gui == b.gui && a.ignored == b.ignored;
}

bool operator==(const Report& a, const Report& b) {
  return support::textEqual(a.type, b.type) && a.micHot == b.micHot &&
         a.audioPlaying == b.audioPlaying && a.owners == b.owners;
}

std::optional<std::string> encodeLine(const Hello& hello) {
  return support::jsonLine(JsonValue{JsonObject{
      {"type", JsonValue{hello.type}},
      {"protocolVersion", JsonValue{hello.protocolVersion}},
      {"intervalMs", JsonValue{hello.intervalMs}},
  }});
}

std::optional<std::string> encodeLine(const Report& report) {
  JsonArray owners;
  owners.reserve(report.owners.size());
  for (const Owner& owner : report.owners) owners.push_back(toJson(owner));
  return support::jsonLine(JsonValue{JsonObject{
      {"type", JsonValue{report.type}},
      {"micHot", JsonValue{report.micHot}},
      {"audioPlaying", JsonValue{report.audioPlaying}},
      {"owners", JsonValue{std::move(owners)}},
  }});
}

void emit(const Hello& hello) { writeLine(encodeLine(hello)); }
void emit(const Report& report) { writeLine(encodeLine(report)); }

}  // namespace probe
