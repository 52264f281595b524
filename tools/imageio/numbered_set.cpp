// imageio: the folders of numbered captures the evaluation tools read.
#include <dirent.h>

#include <algorithm>
#include <cstdio>

#include "imageio.h"

namespace imageio {

bool read_numbered_bitmaps(const std::string &dir, std::vector<NumberedImage> *images,
                           std::vector<std::string> *skipped) {
  images->clear();
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) return false;
  std::vector<std::string> names;
  while (dirent *e = readdir(d)) {
    const std::string n = e->d_name;
    if (n.size() > 4 && n.compare(n.size() - 4, 4, ".bmp") == 0) names.push_back(n);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  for (const std::string &n : names) {
    NumberedImage im;
    if (std::sscanf(n.c_str(), "%d_%d", &im.finger, &im.impression) != 2) continue;
    std::string problem;
    if (!read_file(dir + "/" + n, &im.image, &problem)) {
      if (skipped != nullptr) skipped->push_back(n + ": " + problem);
      continue;
    }
    im.name = n;
    images->push_back(std::move(im));
  }
  return true;
}

}  // namespace imageio
