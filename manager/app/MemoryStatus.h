// The status bar's memory text: "系统内存：" used MiB (two decimals) " MB/"
// total MiB (whole) " MB，使用率：" load "%".
#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>

namespace zevra::manager {

struct MemoryFigures {
  uint64_t totalBytes = 0;
  uint64_t availableBytes = 0;
};

// Reads the figures from the text of /proc/meminfo: available is
// MemAvailable, or MemFree + Buffers + Cached on kernels without it. False
// when MemTotal is missing or zero.
bool ParseMeminfo(const QByteArray& meminfo, MemoryFigures& figures);

// Used = total - available. Used MiB is rounded half up to two decimals,
// total MiB is cut to a whole number (as the system reports whole MiB), and
// the load is used / total in per cent rounded half up to a whole number.
QString MemoryStatusText(const MemoryFigures& figures);

// The text for this machine now; empty when the figures cannot be read.
QString ReadMemoryStatusText(const QString& meminfoPath = QStringLiteral("/proc/meminfo"));

}  // namespace zevra::manager
