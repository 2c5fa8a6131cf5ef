// The trace line check the hostile-input tests rely on: it has to reject a
// line broken in two, glued to another or cut short.
#include <gtest/gtest.h>

#include "trace_lines.h"

namespace {

using Lines = std::vector<std::string>;

TEST(TraceLines, AcceptsEveryFormTheBridgeWrites)
{
    const std::string trace = "Java_com_kestrum_orlo_connector_VarnexChangeDetectionConnector_initTesra()\n"
                              "remoteDbName: north!!main.tdb\n"
                              "Error: Native call QRVDbOpen failed with error: code 292, 'it's not there'\n"
                              "Error: The ID file password passed to initTesra is null.\n"
                              "strTimeSince: \n"
                              "Since time hundredthsOfSec: 45\n"
                              "returnData: 000B4A76005C16519808874F00000010:FFFFFFFF:DEL\n"
                              "strEndDate: 06.05.2024 12-30.370\n"
                              "End of Java_com_kestrum_orlo_connector_VarnexChangeDetectionConnector_termTesra()\n";
    EXPECT_EQ(malformedTraceLines(trace), Lines{});
}

TEST(TraceLines, RejectsLinesThatAreNotWhole)
{
    EXPECT_EQ(malformedTraceLines("returnData: 000B4A76005C16519808874F00000010:A:NOR"),
              Lines{"(unterminated) returnData: 000B4A76005C16519808874F00000010:A:NOR"});
    EXPECT_EQ(malformedTraceLines("returnData: 000B4A76005C16519808874F0000001\n0:A:NOR\n"),
              (Lines{"returnData: 000B4A76005C16519808874F0000001", "0:A:NOR"}));
    EXPECT_EQ(malformedTraceLines("returnData: 000B4A76005C16519808874F00000010:A:NORreturnData: 0\n"),
              Lines{"returnData: 000B4A76005C16519808874F00000010:A:NORreturnData: 0"});
    EXPECT_EQ(malformedTraceLines("returnData: 000B4A76005C16519808874F00000010:123456789:DEL\n").size(), 1u);
    EXPECT_EQ(malformedTraceLines("Since time hundredthsOfSec: 4x\nstrEndDate: 2024-05-06 12:30:00.37\n").size(), 2u);
    EXPECT_EQ(malformedTraceLines("Error: Native call QRVSearch failed with error: code 321, 'cut\n").size(), 1u);
    EXPECT_EQ(malformedTraceLines("Java_com_kestrum_orlo_connector_VarnexChangeDetectionConnector_initTesra(\n").size(),
              1u);
}

} // namespace
