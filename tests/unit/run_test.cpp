// The run's exit statuses: the error -> status table of app/run.
#include <gtest/gtest.h>

#include "app/run.h"
#include "platform/errors.h"

namespace {

TEST(ErrorToStatus, TableOrderDecides) {
  struct Pair {
    Error code;
    int32_t status;
  };
  // One row per code, with the status of its first pair; 5 and 123 appear
  // twice in the table and the first pair wins.
  const Pair pairs[] = {
      {0, 0},     {109, 1},   {1223, 2},  {995, 2},   {1, 3},     {1305, 3},  {87, 4},    {6, 4},
      {111, 4},   {5, 5},     {0xC00000BA, 5}, {14, 6}, {31, 7},    {668, 7},   {1168, 8},  {126, 8},
      {2, 8},     {3, 9},     {183, 10},  {80, 10},   {39, 11},   {112, 11},  {123, 12},  {1921, 12},
      {145, 13},  {38, 14},   {303, 16},  {11, 17},   {193, 17},  {121, 18},  {64, 18},   {267, 19},
      {18, 20},   {737, 21},  {1237, 22}, {10035, 22}, {23, 23},  {17, 24},   {129, 3},   {130, 3},
      {135, 3},   {102, 3},
  };
  for (const Pair& p : pairs) EXPECT_EQ(error_to_status(p.code), p.status) << "code " << p.code;
  for (Error unlisted : {4u, 8u, 13u, 50u, 1117u, 0xFFFFFFFFu}) EXPECT_EQ(error_to_status(unlisted), 7);
}

// The errors a run ends with map to the statuses scripts rely on; a run
// that ended well but failed entries or its own output is no success.
TEST(ErrorToStatus, RunOutcomes) {
  const struct {
    Error code;
    uint64_t failures;
    bool output_failed;
    int32_t status;
  } rows[] = {
      {err::ok, 0, false, kStatusSuccess},
      {err::ok, 3, false, kStatusEntriesFailed},
      {err::ok, 0, true, kStatusOutputFailed},
      {err::ok, 3, true, kStatusOutputFailed},
      {err::cancelled, 3, true, kStatusAborted},            // user request, or -e
      {err::invalid_parameter, 0, false, kStatusBadArguments},  // bad or missing arguments
      {err::access_denied, 0, false, kStatusTargetUnusable},
      {err::not_found, 0, false, kStatusSourceUnusable},
      {err::out_of_memory, 0, false, 6},
  };
  for (const auto& row : rows)
    EXPECT_EQ(run_status(row.code, row.failures, row.output_failed), row.status) << "code " << row.code;
}

}  // namespace
