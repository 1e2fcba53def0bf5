#include "traceformats/framelogrow.h"

#include <algorithm>
#include <cstring>

namespace trace {

const char *const logColumnNames[LogColumnCount] = {
    "序号", "帧ID", "数据", "DLC", "传输方向", "状态", "时间标识", "格式", "类型",
};

namespace {

char *appendHex(char *out, uint32_t value, int minDigits)
{
    static const char digits[] = "0123456789abcdef";
    char buffer[8];
    int count = 0;
    do {
        buffer[count++] = digits[value & 0xF];
        value >>= 4;
    } while (value);
    while (count < minDigits)
        buffer[count++] = '0';
    while (count)
        *out++ = buffer[--count];
    return out;
}

char *appendDecimal(char *out, uint64_t value, int minDigits)
{
    char buffer[20];
    int count = 0;
    do {
        buffer[count++] = char('0' + value % 10);
        value /= 10;
    } while (value);
    while (count < minDigits)
        buffer[count++] = '0';
    while (count)
        *out++ = buffer[--count];
    return out;
}

char *appendText(char *out, const char *text)
{
    const size_t length = std::strlen(text);
    std::memcpy(out, text, length);
    return out + length;
}

} // namespace

char *writeLogField(char *out, const LogRow &row, int column)
{
    switch (column) {
    case NumberColumn:
        if (row.number < 0) {
            *out++ = '-';
            return appendDecimal(out, uint64_t(-(row.number + 1)) + 1, 1);
        }
        return appendDecimal(out, uint64_t(row.number), 1);
    case IdColumn:
        *out++ = '0';
        *out++ = 'x';
        return appendHex(out, row.id, 2);
    case DataColumn: {
        const int most = row.fd ? 64 : 8;
        const int size = std::min(row.size, most);
        const int tailSize = std::min(row.tailSize, most - size);
        for (int i = 0; i < size + tailSize; ++i) {
            if (i > 0)
                *out++ = ' ';
            out = appendHex(out, i < size ? row.data[i] : row.tail[i - size], 2);
        }
        return out;
    }
    case DlcColumn:
        *out++ = '0';
        *out++ = 'x';
        return appendHex(out, uint32_t(row.dlc), 2);
    case DirectionColumn:
        return appendText(out, row.tx ? "发送" : "接收");
    case StatusColumn:
        return appendText(out, row.success ? "成功" : "失败");
    case TimeColumn: {
        if (row.timeMs < 0)
            return out;
        const uint32_t ms = uint32_t(row.timeMs);
        out = appendDecimal(out, ms / 3600000, 2);
        *out++ = ':';
        out = appendDecimal(out, ms / 60000 % 60, 2);
        *out++ = ':';
        out = appendDecimal(out, ms / 1000 % 60, 2);
        *out++ = ':';
        return appendDecimal(out, ms % 1000, 3);
    }
    case FormatColumn:
        if (row.fd) {
            out = appendText(out, "FD数据帧");
            if (row.brs)
                out = appendText(out, " BRS");
            return row.esi ? appendText(out, " ESI") : out;
        }
        return appendText(out, row.remote ? "远程帧" : "数据帧");
    case TypeColumn:
        return appendText(out, row.extended ? "扩展帧" : "标准帧");
    default:
        return out;
    }
}

char *writeLogRow(char *out, const LogRow &row)
{
    for (int column = 0; column < LogColumnCount; ++column) {
        out = writeLogField(out, row, column);
        *out++ = ',';
    }
    *out++ = '\n';
    return out;
}

} // namespace trace
