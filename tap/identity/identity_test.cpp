// Checks the tap's embedded Info.plist and the entitlement set: keys, order,
// types and values as the system reads them, and the comments explaining them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include "tap/identity/plist_reader.h"

namespace {

std::string readFile(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A parsed dictionary does not keep the file's order, so the order is read
// from the text: the <key> elements as they stand.
std::vector<std::string> keysInTextOrder(const std::string& xml) {
  std::vector<std::string> keys;
  size_t at = 0;
  while ((at = xml.find("<key>", at)) != std::string::npos) {
    const size_t end = xml.find("</key>", at);
    if (end == std::string::npos) break;
    keys.push_back(xml.substr(at + 5, end - at - 5));
    at = end;
  }
  return keys;
}

struct Comment {
  size_t position;
  std::string text;
};

std::vector<Comment> comments(const std::string& xml) {
  std::vector<Comment> found;
  size_t at = 0;
  while ((at = xml.find("<!--", at)) != std::string::npos) {
    const size_t end = xml.find("-->", at + 4);
    if (end == std::string::npos) break;
    found.push_back({at, xml.substr(at + 4, end - at - 4)});
    at = end + 3;
  }
  return found;
}

size_t positionOfKey(const std::string& xml, const std::string& key) {
  return xml.find("<key>" + key + "</key>");
}

using Expected = std::variant<std::string, bool>;
struct Entry {
  std::string key;
  Expected value;
};

// The value when it has the expected type, absent otherwise.
std::optional<Expected> valueOf(const identity::PlistValue& value) {
  if (const auto* text = std::get_if<std::string>(&value)) return *text;
  if (const auto* flag = std::get_if<bool>(&value)) return *flag;
  return std::nullopt;
}

void expectDictionary(const std::string& xml,
                      const std::vector<Entry>& entries) {
  const auto parsed = identity::readDictionary(xml);
  ASSERT_TRUE(parsed) << "not a property list with a dictionary at its root";

  std::vector<std::string> order;
  for (const Entry& entry : entries) order.push_back(entry.key);
  EXPECT_EQ(keysInTextOrder(xml), order);
  std::set<std::string> keys;
  for (const auto& [key, value] : *parsed) keys.insert(key);
  EXPECT_EQ(keys, std::set<std::string>(order.begin(), order.end()));

  for (const Entry& entry : entries) {
    const auto found = parsed->find(entry.key);
    ASSERT_NE(found, parsed->end()) << entry.key;
    EXPECT_EQ(valueOf(found->second), std::optional<Expected>(entry.value))
        << entry.key;
  }
}

void expectXmlPropertyList(const std::string& xml) {
  EXPECT_EQ(xml.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                      "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                      "<plist version=\"1.0\">\n",
                      0),
            0u);
  // "--" inside a comment is not XML; Apple's parser rejects the whole list.
  for (const Comment& comment : comments(xml)) {
    EXPECT_EQ(comment.text.find("--"), std::string::npos) << comment.text;
  }
}

const std::vector<Entry> kInfoEntries = {
    {"CFBundleIdentifier", std::string(NIMBREL_TAP_BUNDLE_ID)},
    {"CFBundleName", std::string("Nimbrel")},
    {"CFBundleShortVersionString", std::string(NIMBREL_VERSION)},
    {"CFBundleVersion", std::string(NIMBREL_BUILD_NUMBER)},
    {"CFBundlePackageType", std::string("APPL")},
    {"LSUIElement", true},
    {"NSAudioCaptureUsageDescription",
     std::string("Nimbrel records the audio from your meetings so you can keep "
                 "a copy of the call.")},
    {"NSMicrophoneUsageDescription",
     std::string("Nimbrel records your voice alongside the meeting audio.")},
};

const std::vector<std::string> kMicrophone = {
    "com.apple.security.device.audio-input"};
const std::vector<std::string> kRuntimeRelaxations = {
    "com.apple.security.cs.allow-jit",
    "com.apple.security.cs.allow-unsigned-executable-memory",
    "com.apple.security.cs.disable-library-validation",
    "com.apple.security.cs.allow-dyld-environment-variables"};
const std::vector<std::string> kInheritance = {"com.apple.security.inherit"};

TEST(InfoPlist, HasTheEightKeysInOrderWithTheirValues) {
  const std::string xml = readFile(NIMBREL_INFO_PLIST);
  expectXmlPropertyList(xml);
  expectDictionary(xml, kInfoEntries);
}

TEST(InfoPlist, BundleIdentifierIsReverseDnsFromTheBuild) {
  const std::string id = NIMBREL_TAP_BUNDLE_ID;
  EXPECT_EQ(id.find_first_not_of("abcdefghijklmnopqrstuvwxyz"
                                 "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-."),
            std::string::npos);
  EXPECT_NE(id.find('.'), std::string::npos);
  EXPECT_EQ(id.find(".."), std::string::npos);
  EXPECT_NE(id.front(), '.');
  EXPECT_NE(id.back(), '.');
  // Defined once, in the build: the template names no identifier of its own.
  const std::string templ = readFile(NIMBREL_INFO_PLIST_TEMPLATE);
  EXPECT_NE(templ.find("<key>CFBundleIdentifier</"
                       "key>\n\t<string>@NIMBREL_TAP_BUNDLE_ID@</string>"),
            std::string::npos);
  EXPECT_EQ(templ.find(id), std::string::npos);
}

// The system reads both as one to three dot-separated decimal integers.
bool isBundleVersion(const std::string& text) {
  int parts = 0;
  size_t at = 0;
  for (;;) {
    const size_t end = text.find('.', at);
    const std::string part = text.substr(at, end - at);
    if (part.empty() ||
        part.find_first_not_of("0123456789") != std::string::npos) {
      return false;
    }
    ++parts;
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return parts <= 3;
}

TEST(InfoPlist, VersionsComeFromTheBuildOnly) {
  EXPECT_TRUE(isBundleVersion(NIMBREL_VERSION)) << NIMBREL_VERSION;
  EXPECT_TRUE(isBundleVersion(NIMBREL_BUILD_NUMBER)) << NIMBREL_BUILD_NUMBER;
  const std::string templ = readFile(NIMBREL_INFO_PLIST_TEMPLATE);
  EXPECT_NE(templ.find("<key>CFBundleShortVersionString</key>\n\t<string>"
                       "@PROJECT_VERSION@</string>"),
            std::string::npos);
  EXPECT_NE(templ.find("<key>CFBundleVersion</key>\n\t<string>"
                       "@NIMBREL_BUILD_NUMBER@</string>"),
            std::string::npos);
  EXPECT_EQ(templ.find(NIMBREL_VERSION), std::string::npos);
}

TEST(InfoPlist, BundleVersionRule) {
  struct Case {
    const char* text;
    bool valid;
  };
  for (const Case& c :
       {Case{"1", true}, Case{"2.5.0", true}, Case{"10.20.30", true},
        Case{"1.2.3.4", false}, Case{"", false}, Case{"1..2", false},
        Case{".1", false}, Case{"1.", false}, Case{"1.0b", false},
        Case{"@PROJECT_VERSION@", false}}) {
    EXPECT_EQ(isBundleVersion(c.text), c.valid) << c.text;
  }
}

TEST(InfoPlist, ACommentAheadOfTheDictionarySaysHowAndWhy) {
  const std::string xml = readFile(NIMBREL_INFO_PLIST);
  const std::vector<Comment> found = comments(xml);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_GT(found[0].position, xml.find("<plist version=\"1.0\">"));
  EXPECT_LT(found[0].position, xml.find("<dict>"));
  EXPECT_NE(found[0].text.find("__TEXT,__info_plist"), std::string::npos);
  EXPECT_NE(found[0].text.find("permission"), std::string::npos);
}

TEST(Entitlements, SixKeysAllTrueInOrder) {
  const std::string xml = readFile(NIMBREL_ENTITLEMENTS);
  expectXmlPropertyList(xml);
  std::vector<Entry> entries;
  for (const auto* group :
       {&kMicrophone, &kRuntimeRelaxations, &kInheritance}) {
    for (const std::string& key : *group) entries.push_back({key, true});
  }
  expectDictionary(xml, entries);
  EXPECT_EQ(xml.find("<false/>"), std::string::npos);
}

TEST(Entitlements, OneCommentAheadOfEachGroup) {
  const std::string xml = readFile(NIMBREL_ENTITLEMENTS);
  const std::vector<Comment> found = comments(xml);
  ASSERT_EQ(found.size(), 3u);
  struct Group {
    const std::vector<std::string>& keys;
    size_t after;  // end of the previous group
    const char* subject;
  };
  const Group groups[] = {
      {kMicrophone, xml.find("<dict>"), "icrophone"},
      {kRuntimeRelaxations, positionOfKey(xml, kMicrophone.back()),
       "hardened runtime"},
      {kInheritance, positionOfKey(xml, kRuntimeRelaxations.back()), "TCC"},
  };
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(groups[i].subject);
    EXPECT_GT(found[i].position, groups[i].after);
    EXPECT_LT(found[i].position, positionOfKey(xml, groups[i].keys.front()));
    EXPECT_NE(found[i].text.find(groups[i].subject), std::string::npos);
  }
}

}  // namespace
