#pragma once

// The texts of one frame log row, as the table shows them, the CSV export writes them and
// the frame log's CSV trace holds them, in UTF-8: one formatter, so the three never differ.
// Error events and frames too long for a record have texts of their own in the table; an
// FD frame shows all its bytes and says FD, BRS and ESI in its format.
// Plain C++; any thread.

#include <cstdint>

namespace trace {

enum LogColumn {
    NumberColumn, IdColumn, DataColumn, DlcColumn, DirectionColumn, StatusColumn, TimeColumn,
    FormatColumn, TypeColumn, LogColumnCount
};

// The header of each column, in column order.
extern const char *const logColumnNames[LogColumnCount];

struct LogRow
{
    int64_t number = 0;
    uint32_t id = 0;
    const uint8_t *data = nullptr; // the bytes shown: none for a remote frame
    int size = 0;                  // up to 8, up to 64 for an FD frame
    // An FD frame's bytes beyond `size`, where they are kept apart from the first ones.
    const uint8_t *tail = nullptr;
    int tailSize = 0;
    int dlc = 0;
    bool tx = false;
    bool success = true;
    bool remote = false;
    bool extended = false;
    bool fd = false;
    bool brs = false;
    bool esi = false;
    int32_t timeMs = -1;           // since local midnight; negative: unknown, shown empty
};

// Room for any one field, and for a whole row with its commas and line end.
constexpr int maxLogFieldBytes = 64 * 3;
constexpr int maxLogRowBytes = maxLogFieldBytes + 160;

// Writes the text of `column` at `out` and returns its end.
char *writeLogField(char *out, const LogRow &row, int column);
// Every field followed by a comma, then a line end.
char *writeLogRow(char *out, const LogRow &row);

} // namespace trace
