// tarnel-write-icons: writes the program's icon as PNG files for the icon
// theme, <folder>/<n>x<n>/apps/tarnel.png for each size given. Run by the build.
#include <QDir>
#include <QImage>
#include <QString>

#include <cstdio>
#include <cstdlib>

#include "app/icons.h"

int main(int argc, char* argv[]) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: tarnel-write-icons <folder> <size>...\n");
    return 2;
  }
  const QString folder = QString::fromLocal8Bit(argv[1]);
  for (int i = 2; i < argc; ++i) {
    const int size = std::atoi(argv[i]);
    if (size <= 0) {
      std::fprintf(stderr, "tarnel-write-icons: bad size %s\n", argv[i]);
      return 2;
    }
    const QString dir = QString("%1/%2x%2/apps").arg(folder).arg(size);
    const QString path = dir + "/tarnel.png";
    if (!QDir().mkpath(dir) || !tarnel::app::AppIconImage(size).save(path, "PNG")) {
      std::fprintf(stderr, "tarnel-write-icons: cannot write %s\n", path.toLocal8Bit().constData());
      return 1;
    }
  }
  return 0;
}
