#include "manager/app/MemoryStatus.h"

#include <QFile>
#include <QList>

#include "manager/app/ConsoleTexts.h"

namespace zevra::manager {

bool ParseMeminfo(const QByteArray& meminfo, MemoryFigures& figures) {
  bool haveTotal = false, haveAvailable = false;
  uint64_t total = 0, available = 0, freeKiB = 0, buffers = 0, cached = 0;
  for (const QByteArray& line : meminfo.split('\n')) {
    const int colon = line.indexOf(':');
    if (colon <= 0) continue;
    const QByteArray key = line.left(colon);
    QByteArray value = line.mid(colon + 1).trimmed();
    if (value.endsWith(" kB")) value.chop(3);
    bool ok = false;
    const uint64_t kib = value.trimmed().toULongLong(&ok);
    if (!ok) continue;
    if (key == "MemTotal") {
      total = kib;
      haveTotal = true;
    } else if (key == "MemAvailable") {
      available = kib;
      haveAvailable = true;
    } else if (key == "MemFree") {
      freeKiB = kib;
    } else if (key == "Buffers") {
      buffers = kib;
    } else if (key == "Cached") {
      cached = kib;
    }
  }
  if (!haveTotal || total == 0) return false;
  if (!haveAvailable) available = freeKiB + buffers + cached;
  if (available > total) available = total;
  figures.totalBytes = total * 1024;
  figures.availableBytes = available * 1024;
  return true;
}

QString MemoryStatusText(const MemoryFigures& figures) {
  const uint64_t total = figures.totalBytes;
  const uint64_t used = total - std::min(figures.availableBytes, total);
  // Hundredths of a MiB, rounded half up, in whole numbers so that the edge
  // cases round the same everywhere.
  const uint64_t usedHundredths = (used * 100 + 1048576 / 2) / 1048576;
  const QString usedText = QString::number(usedHundredths / 100) + QLatin1Char('.') +
                           QStringLiteral("%1").arg(usedHundredths % 100, 2, 10, QLatin1Char('0'));
  const uint64_t load = total == 0 ? 0 : (used * 100 + total / 2) / total;
  return texts::Text(texts::kMemoryPrefix) + usedText + texts::Text(texts::kMemoryUsedUnit) +
         QString::number(total / 1048576) + texts::Text(texts::kMemoryLoad) + QString::number(load) +
         texts::Text(texts::kMemoryPercent);
}

QString ReadMemoryStatusText(const QString& meminfoPath) {
  QFile file(meminfoPath);
  if (!file.open(QIODevice::ReadOnly)) return QString();
  MemoryFigures figures;
  if (!ParseMeminfo(file.readAll(), figures)) return QString();
  return MemoryStatusText(figures);
}

}  // namespace zevra::manager
