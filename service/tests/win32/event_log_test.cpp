// The Application log as an administrator watching many machines reads it: tindral.exe carries
// the message table that Event Viewer turns the service's events into text with, and an event
// the service reports can be read back there.

#include "platform/event_log.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/win32/wide_path.h"
#include "platform/win32/windows_api.h"
#include "support/child_process.h"
#include "support/machine.h"
// After <windows.h>: the ids are DWORDs.
#include "event_messages.h"

namespace tindral {
namespace {

std::wstring widen(std::string_view utf8) {
  return platform::win32::wtf8_to_wide(utf8).value_or(std::wstring());
}

// What Event Viewer shows for an event with `id` and `text` as its insertion string.
std::wstring shown_text(HMODULE program, DWORD id, const std::wstring& text) {
  const DWORD_PTR arguments[] = {reinterpret_cast<DWORD_PTR>(text.c_str())};
  wchar_t buffer[512];
  DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                program, id, 0, buffer, static_cast<DWORD>(std::size(buffer)),
                                reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(arguments)));
  while (length > 0 && (buffer[length - 1] == L'\r' || buffer[length - 1] == L'\n')) --length;
  return std::wstring(buffer, length);
}

TEST(EventLogTest, TheProgramsMessageTableGivesEachTypeTheEventsText) {
  const std::wstring program = widen(test_support::built_program(TINDRAL_EXE).bytes());
  HMODULE module = LoadLibraryExW(program.c_str(), nullptr,
                                  LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(module, nullptr) << GetLastError();
  const std::wstring text = L"Root path not found, skipping: D:\\Gone \u00e6\u00f8\u00e5";
  EXPECT_EQ(shown_text(module, TINDRAL_EVENT_WARNING, text), text);
  EXPECT_EQ(shown_text(module, TINDRAL_EVENT_ERROR, text), text);
  FreeLibrary(module);
}

struct ReadEvent {
  DWORD id = 0;
  WORD type = 0;
  std::wstring source;
  std::wstring text;
};

// The newest events of the Application log, newest first; empty where the log keeps none.
std::vector<ReadEvent> newest_application_events(std::size_t count) {
  std::vector<ReadEvent> events;
  HANDLE log = OpenEventLogW(nullptr, L"Application");
  if (log == nullptr) return events;
  std::vector<BYTE> buffer(64 * 1024);
  DWORD read = 0;
  DWORD needed = 0;
  while (events.size() < count &&
         ReadEventLogW(log, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_BACKWARDS_READ, 0, buffer.data(),
                       static_cast<DWORD>(buffer.size()), &read, &needed)) {
    for (DWORD offset = 0; offset < read;) {
      const auto* record = reinterpret_cast<const EVENTLOGRECORD*>(buffer.data() + offset);
      ReadEvent event{record->EventID, record->EventType,
                      reinterpret_cast<const wchar_t*>(record + 1), L""};
      if (record->NumStrings > 0) {
        event.text =
            reinterpret_cast<const wchar_t*>(buffer.data() + offset + record->StringOffset);
      }
      events.push_back(std::move(event));
      offset += record->Length;
    }
  }
  CloseEventLog(log);
  return events;
}

TEST(EventLogTest, AReportedEventIsReadBackFromTheApplicationLog) {
  // A source of the test's own, so that the machine's TindralCache registration stays as it is.
  constexpr std::string_view kSource = "TindralCacheTest";
  ASSERT_TRUE(platform::register_event_source(kSource, test_support::built_program(TINDRAL_EXE)));
  const std::string text =
      "Scan error: Failed to read config.txt (" +
      std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + ")";
  const Result<void> reported = platform::report_event(kSource, platform::EventType::Error, text);
  EXPECT_TRUE(reported.ok()) << (reported ? "" : reported.error().message());
  const std::vector<ReadEvent> events = newest_application_events(50);
  EXPECT_TRUE(platform::unregister_event_source(kSource));
  if (events.empty() && test_support::running_under_wine()) {
    GTEST_SKIP() << "Wine 8.0 keeps no event log: ReportEventW accepts the event, but "
                    "ReadEventLogW on the Application log ends at once (ERROR_HANDLE_EOF)";
  }
  bool found = false;
  for (const ReadEvent& event : events) {
    if (event.source != widen(kSource) || event.text != widen(text)) continue;
    found = true;
    EXPECT_EQ(event.id, TINDRAL_EVENT_ERROR);
    EXPECT_EQ(event.type, EVENTLOG_ERROR_TYPE);
  }
  EXPECT_TRUE(found) << "the event is not among the Application log's newest";
}

}  // namespace
}  // namespace tindral
