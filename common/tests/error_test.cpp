#include "error.h"

#include <gtest/gtest.h>

namespace tindral {
namespace {

TEST(ErrorTest, ReportWithoutCauseIsOneLine) {
  EXPECT_EQ(render_error_report(Error("Failed to read config.txt")),
            "Error: Failed to read config.txt\n");
}

TEST(ErrorTest, ReportWithOneCauseIndentsItByFourSpaces) {
  Error error =
      Error::from_os(1063, "The service process could not connect to the service controller.",
                     ErrorKind::Other)
          .wrap("IO error in winapi call");
  EXPECT_EQ(
      render_error_report(error),
      "Error: IO error in winapi call\n"
      "\n"
      "Caused by:\n"
      "    The service process could not connect to the service controller. (os error 1063)\n");
  EXPECT_EQ(error.message(), "IO error in winapi call");
  EXPECT_EQ(error.os_code(), 1063u);
}

TEST(ErrorTest, ReportWithSeveralCausesNumbersThemRightAligned) {
  Error error = Error::from_os(2, "No such file or directory", ErrorKind::NotFound)
                    .wrap("Failed to read config.txt")
                    .wrap("Scan failed");
  EXPECT_EQ(render_error_report(error),
            "Error: Scan failed\n"
            "\n"
            "Caused by:\n"
            "    0: Failed to read config.txt\n"
            "    1: No such file or directory (os error 2)\n");
  EXPECT_TRUE(error.is_not_found());
}

TEST(ErrorTest, TenCausesKeepTheFiveCharacterField) {
  Error error("cause 9");
  for (int i = 8; i >= 0; --i) error = error.wrap("cause " + std::to_string(i));
  error = error.wrap("top");
  std::string report = render_error_report(error);
  EXPECT_NE(report.find("\n    0: cause 0\n"), std::string::npos);
  EXPECT_NE(report.find("\n    9: cause 9\n"), std::string::npos);
}

}  // namespace
}  // namespace tindral
