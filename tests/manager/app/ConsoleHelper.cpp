// A stand-in console process for the tests that need a second real process:
//   lock <path> <seconds>        takes the instance lock and holds it
//   lockuid <uid> <seconds>      the same with the lock path of that desktop
//                                user (run once as root, once as the user)
//   <anything> --elevated-copy … plays the relaunched copy: takes the lock
//                                its first copy named and reports that it is up
// It prints "locked" or "refused" and, when locked, holds the lock until the
// time is up or its standard input closes.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>
#include <cstdio>

#include "manager/app/InstanceLock.h"
#include "manager/app/Startup.h"

using namespace zevra::manager;

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const QStringList args = app.arguments();
  QString path;
  int seconds = 10;
  const RelaunchMarker marker = ParseRelaunchMarker(args);
  if (marker.present) {
    path = marker.lockPath;
    seconds = 3;  // long enough for the first copy to look
  } else if (args.size() >= 4 && args[1] == QLatin1String("lock")) {
    path = args[2];
    seconds = args[3].toInt();
  } else if (args.size() >= 4 && args[1] == QLatin1String("lockuid")) {
    path = InstanceLockPath(args[2].toUInt());
    seconds = args[3].toInt();
  } else {
    std::fprintf(stderr, "usage: lock <path> <seconds> | lockuid <uid> <seconds>\n");
    return 2;
  }
  InstanceLock lock(path);
  if (!lock.Acquire()) {
    std::printf("refused\n");
    std::fflush(stdout);
    return 1;
  }
  std::printf("locked %s\n", qPrintable(path));
  std::fflush(stdout);
  if (marker.present && !ReportElevatedCopyUp(marker.handoverName)) return 3;
  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < seconds * 1000LL) QThread::msleep(50);
  return 0;
}
