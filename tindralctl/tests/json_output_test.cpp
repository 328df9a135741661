// What tindralctl prints for scripts, read back by a JSON reader of the test's own: status
// --json and roots list --json in the states a machine can be in, the escaping of any name, and
// folders, which finds exactly the folders that carry the service's desktop.ini and changes
// nothing on the way.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "json.h"
#include "json_reader.h"
#include "service_log_reader.h"
#include "tindralctl_fixture.h"

namespace tindral::test_support {
namespace {

using testing::ElementsAre;
using testing::UnorderedElementsAreArray;

TEST(JsonStringTest, EscapesWhatJsonForbidsAndKeepsTheOutputAsciiAndValid) {
  struct Case {
    std::string bytes;
    std::string json;
  };
  const Case cases[] = {
      {"C:\\Data\\\"Fotos\"", R"("C:\\Data\\\"Fotos\"")"},
      {"a/b c~\x7f", "\"a/b c~\x7f\""},
      {"\n\t\r\b\f\x01\x1f", R"("\n\t\r\b\f\u0001\u001f")"},
      {"caf\xc3\xa9 \xe2\x82\xac", R"("caf\u00e9 \u20ac")"},
      {"\xf0\x9f\x93\x81", R"("\ud83d\udcc1")"},
      // Bytes a POSIX name may hold that are not UTF-8, and the WTF-8 form of an unpaired
      // surrogate a Windows name may hold: U+FFFD, as messages show them.
      {"a\xff\xfe"
       "b",
       R"("a\ufffd\ufffdb")"},
      {"\xed\xa0\x80x", R"("\ufffdx")"},
      {"\xc3", R"("\ufffd")"},
  };
  for (const Case& c : cases) {
    const std::string json = ctl::json_string(c.bytes);
    EXPECT_EQ(json, c.json);
    const std::optional<JsonValue> read = JsonReader::read(json);
    ASSERT_TRUE(read.has_value()) << json;
    EXPECT_EQ(read->text, text::to_lossy_utf8(c.bytes));
  }
  EXPECT_EQ(ctl::JsonObject()
                .add("name", "x")
                .add("count", std::uint64_t{18446744073709551615u})
                .add("on", false)
                .add_null("none")
                .add_json("list", ctl::JsonArray().add("a").add("b").text())
                .add_json("empty", ctl::JsonObject().text())
                .text(),
            R"({"name":"x","count":18446744073709551615,"on":false,"none":null,"list":["a","b"],)"
            R"("empty":{}})");
}

class JsonOutputTest : public TindralctlTest {
 protected:
  JsonValue json_of(const std::vector<std::string>& arguments, int exit_code) {
    const ChildOutcome outcome = tindralctl(arguments);
    EXPECT_EQ(outcome.exit_code, exit_code) << arguments[0] << ": " << outcome.err;
    EXPECT_EQ(outcome.err, "") << arguments[0];
    last_output_ = outcome.out;
    return read_json_line(outcome.out);
  }

  std::string last_output_;
};

const std::vector<std::string> kStatusKeys{
    "service",          "data_folder",    "paused",    "flags",        "roots",    "roots_error",
    "interval_minutes", "settings_error", "last_scan", "last_cleanup", "log_error"};
const std::vector<std::string> kRootKeys{"entry", "expanded", "state", "reason",
                                         "missing_variable"};

TEST_F(JsonOutputTest, StatusAndRootsListHaveOneShapeInEveryState) {
  // Nothing installed, no data folder: every key present, what cannot be known null.
  JsonValue status = json_of({"status", "--json"}, 4);
  EXPECT_EQ(status.keys(), kStatusKeys);
  EXPECT_EQ(status["service"].keys(),
            (std::vector<std::string>{"name", "installed", "state", "error"}));
  EXPECT_EQ(status["service"]["name"].text, "TindralCache");
  EXPECT_FALSE(status["service"]["installed"].boolean);
  EXPECT_EQ(status["service"]["state"].text, "not_installed");
  EXPECT_TRUE(status["service"]["error"].is_null());
  EXPECT_EQ(status["data_folder"]["path"].text, data_folder_.display());
  EXPECT_FALSE(status["data_folder"]["exists"].boolean);
  for (std::size_t key = 2; key < kStatusKeys.size(); ++key) {
    EXPECT_TRUE(status[kStatusKeys[key]].is_null()) << kStatusKeys[key];
  }
  const ChildOutcome no_folder = tindralctl({"roots", "list", "--json"});
  EXPECT_EQ(no_folder.exit_code, 5);
  EXPECT_EQ(no_folder.out, "");

  // The data folder with a root of each state, a pause, a waiting request and past work.
  make_folder(tmp_ / "tree");
  write_bytes(tmp_ / "file.txt", "not a folder");
  const Path quoted = tmp_ / "no \"such\" folder";
  const Path unusual = tmp_ / (running_under_wine() ? "Fotos \xc3\xa9t\xc3\xa9" : "we\"ird\\name");
  make_folder(unusual);
  make_folder(data_folder_);
  write_bytes(file("config.txt"), "# roots\n" + (tmp_ / "tree").bytes() + "\n" + quoted.bytes() +
                                      "\n" + (tmp_ / "file.txt").bytes() + "\nrelative\n" +
                                      unusual.bytes() + "\n%TINDRAL_TEST_UNSET%\n");
  write_bytes(file("paused.flag"), "");
  write_bytes(file("rescan.flag"), "");
  write_bytes(file("settings.txt"), "interval=5\n");
  write_bytes(file("service.log"),
              "[2026-12-08 10:00:00] Scan complete: 3 folders, 0 written, 0 removed, took 0.01s\n"
              "[2026-12-08 10:05:00] Cleanup complete: 3 folders visited, 2 desktop.ini removed\n"
              "[2026-12-08 10:06:00] Scan error: Failed to read config.txt\n"
              "[2026-12-08 10:07:00] Paused\n");
  status = json_of({"status", "--json"}, 4);
  const std::string status_text = last_output_;
  EXPECT_TRUE(status["data_folder"]["exists"].boolean);
  EXPECT_TRUE(status["paused"].boolean);
  EXPECT_THAT(status["flags"].strings(), ElementsAre("rescan.flag"));
  EXPECT_EQ(status["interval_minutes"].text, "5");
  EXPECT_EQ(status["last_scan"]["time"].text, "2026-12-08 10:06:00");
  EXPECT_EQ(status["last_scan"]["message"].text, "Scan error: Failed to read config.txt");
  EXPECT_EQ(status["last_cleanup"]["message"].text,
            "Cleanup complete: 3 folders visited, 2 desktop.ini removed");
  for (const char* key : {"roots_error", "settings_error", "log_error"}) {
    EXPECT_TRUE(status[key].is_null()) << key;
  }
  const JsonValue& roots = status["roots"];
  ASSERT_EQ(roots.items.size(), 6u) << status_text;
  struct Expected {
    std::string entry;
    std::string state;
    std::string reason;  ///< checked word for word where it is the service's warning
  };
  const Expected expected[] = {
      {(tmp_ / "tree").bytes(), "scanned", ""},
      {quoted.bytes(), running_under_wine() ? roots[1]["state"].text : "missing", ""},
      {(tmp_ / "file.txt").bytes(), "not_folder", ""},
      {"relative", "refused", "Root path is not absolute, skipping: relative"},
      {unusual.bytes(), "scanned", ""},
      {"%TINDRAL_TEST_UNSET%", "refused", ""},
  };
  for (std::size_t i = 0; i < roots.items.size(); ++i) {
    SCOPED_TRACE(expected[i].entry);
    EXPECT_EQ(roots[i].keys(), kRootKeys);
    EXPECT_EQ(roots[i]["entry"].text, expected[i].entry);
    EXPECT_EQ(roots[i]["state"].text, expected[i].state);
    EXPECT_EQ(roots[i]["reason"].is_null(), expected[i].state == "scanned");
    if (!expected[i].reason.empty()) {
      EXPECT_EQ(roots[i]["reason"].text, expected[i].reason);
    }
  }
  EXPECT_NE(roots[1]["state"].text, "scanned");
  EXPECT_EQ(roots[5]["missing_variable"].text, "TINDRAL_TEST_UNSET");
  EXPECT_TRUE(roots[0]["missing_variable"].is_null());

  // roots list --json prints the very same roots.
  const JsonValue listed = json_of({"roots", "list", "--json"}, 0);
  EXPECT_EQ(listed.keys(), std::vector<std::string>{"roots"});
  const std::string list_text = last_output_;
  EXPECT_NE(status_text.find("\"roots\":" + list_text.substr(9, list_text.size() - 11) + ","),
            std::string::npos)
      << list_text;
  const ChildOutcome add_json = tindralctl({"roots", "add", (tmp_ / "tree").bytes(), "--json"});
  EXPECT_EQ(add_json.exit_code, 2);

  // Installed: the service manager's state (none natively, where these tests run without one).
  ASSERT_EQ(tindralctl({"install", "--no-start"}).exit_code, 0);
  status = json_of({"status", "--json"}, 0);
  EXPECT_TRUE(status["service"]["installed"].boolean);
  EXPECT_EQ(status["service"]["state"].text, no_service_manager() ? "unknown" : "stopped");
  EXPECT_TRUE(status["service"]["error"].is_null());
}

class FoldersTest : public JsonOutputTest {
 protected:
  Path tree() const { return tmp_ / "tree"; }
  Path other() const { return tmp_ / "other"; }

  static void put(const Path& file, std::string_view bytes) {
    make_folder(file.parent());
    write_bytes(file, bytes);
  }
};

TEST_F(FoldersTest, FindsExactlyTheServicesFoldersAndChangesNothing) {
  make_folder(data_folder_);
  put(tree().child("album").child("photo.jpg"), "jpeg");
  put(tree().child("custom").child("photo.jpg"), "jpeg");
  put(tree().child("custom").child("desktop.ini"),
      "[.ShellClassInfo]\r\nIconResource=C:\\Icons\\mine.ico,0\r\n[Tindral]\r\n"
      "Generated=true\r\n");
  put(tree().child("foreign").child("photo.jpg"), "jpeg");
  put(tree().child("foreign").child("desktop.ini"),
      "[.ShellClassInfo]\r\nIconResource=shell32.dll,4\r\n");
  put(tree().child("repo").child(".git").child("HEAD"), "ref: refs/heads/main\n");
  make_folder(tree().child("emptied"));
  // A name no console shows as it is: natively bytes that are not UTF-8, on Windows letters
  // outside ASCII.
  const std::string unusual =
      running_under_wine() ? "F\xc3\xb6to \xf0\x9f\x93\x81" : "we\"ird\\na\xffme";
  put(tree().child(unusual).child("photo.jpg"), "jpeg");
  put(other().child("photo.jpg"), "jpeg");
  write_bytes(file("config.txt"), tree().bytes() + "\n" + other().bytes() + "\n");
  const ChildOutcome scan = run_child(built_program(TINDRAL_EXE), {"--console"},
                                      {{"ProgramData", data_folder_.parent().bytes()}}, tmp_.path(),
                                      std::chrono::seconds(120));
  ASSERT_EQ(scan.exit_code, 0) << scan.out << scan.err;

  // What the scan would take out again, and what it never walks into, carrying its file.
  const std::string own = read_bytes(tree().child("album").child("desktop.ini"));
  ASSERT_NE(own, "");
  put(tree().child("emptied").child("desktop.ini"), own);
  put(tree().child("repo").child(".git").child("desktop.ini"), own);
  // A link to the other root is not walked through (Wine makes none: there it tries nothing).
  static_cast<void>(make_symlink(other(), tree().child("link"), true));

  EXPECT_EQ(tindralctl({"folders"}).out,
            tree().bytes() + ": 4 of 7 folders carry the service's desktop.ini\n" +
                other().bytes() + ": 1 of 1 folders carry the service's desktop.ini\n" +
                "5 folders carry the service's desktop.ini.\n");
  const JsonValue found = json_of({"folders", "--json"}, 0);
  EXPECT_EQ(found.keys(), (std::vector<std::string>{"roots", "count"}));
  EXPECT_EQ(found["count"].text, "5");
  ASSERT_EQ(found["roots"].items.size(), 2u);
  const JsonValue& root = found["roots"][0];
  EXPECT_EQ(root["entry"].text, tree().bytes());
  EXPECT_EQ(root["state"].text, "scanned");
  EXPECT_EQ(root["walk"].text, "whole");
  EXPECT_EQ(root["folders_walked"].text, "7");
  EXPECT_EQ(root["unreadable"].text, "0");
  EXPECT_THAT(root["folders"].strings(),
              UnorderedElementsAreArray({tree().display(), tree().child("album").display(),
                                         tree().child("emptied").display(),
                                         tree().child(unusual).display()}));
  EXPECT_TRUE(path_exists(tree().child("emptied").child("desktop.ini")))
      << "folders took the service's file out";

  // One root, named as config.txt lists it; a folder it does not list is refused.
  const JsonValue one = json_of({"folders", other().bytes(), "--json"}, 0);
  ASSERT_EQ(one["roots"].items.size(), 1u);
  EXPECT_THAT(one["roots"][0]["folders"].strings(), ElementsAre(other().display()));
  const ChildOutcome unlisted = tindralctl({"folders", (tmp_ / "unlisted").bytes()});
  EXPECT_EQ(unlisted.exit_code, 6);
  EXPECT_EQ(unlisted.err, "Error: Refused " + (tmp_ / "unlisted").bytes() +
                              "\n\nCaused by:\n    config.txt does not list it (tindralctl "
                              "roots list)\n");
}

}  // namespace
}  // namespace tindral::test_support
