// lumetra-evaluate-images: gathers a folder of fingerprint images for the
// evaluation.  Every `<finger>_<impression>.<ext>` image the shared readers
// decode (BMP, TIFF, PNG, PGM) is written to OUT as an 8-bit grey bitmap
// of the same name, which is what lumetra-evaluate reads through the
// library's own exports.  Each image is first brought to the library's 500
// dpi by the tools' resolution rule (imageio::to_library_resolution, the
// rule of the lumetra command): the file's resolution when plausible for a
// reader, else 500 dpi with a warning line.  A list of what was read and what was not, and
// why, goes to OUT/images.tsv; unreadable files never stop the run.
//
//   lumetra-evaluate-images DIR OUT
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "imageio.h"
#include "resolution.h"

namespace {

// `<finger>_<impression>.<ext>`: the finger is everything before the last
// underscore, the impression a positive number after it.
bool parse_name(const std::string &name, std::string &stem, std::string &ext) {
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return false;
  const size_t us = name.rfind('_', dot);
  if (us == std::string::npos || us == 0 || dot <= us + 1 || dot - us - 1 > 6) return false;
  const std::string number = name.substr(us + 1, dot - us - 1);
  if (number.find_first_not_of("0123456789") != std::string::npos || std::stoi(number) <= 0) return false;
  stem = name.substr(0, us) + "_" + std::to_string(std::stoi(number));
  ext = name.substr(dot + 1);
  for (char &c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return true;
}

constexpr const char *kImageExtensions[] = {"bmp", "tif", "tiff", "png", "pgm", "pbm"};

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: lumetra-evaluate-images DIR OUT\n");
    return 2;
  }
  const std::string dir = argv[1], out = argv[2];
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) {
    std::fprintf(stderr, "lumetra-evaluate-images: %s: %s\n", dir.c_str(), std::strerror(errno));
    return 2;
  }
  std::vector<std::string> names;
  while (dirent *e = readdir(d)) names.emplace_back(e->d_name);
  closedir(d);
  std::sort(names.begin(), names.end());
  if (mkdir(out.c_str(), 0755) != 0 && errno != EEXIST) {
    std::fprintf(stderr, "lumetra-evaluate-images: cannot create %s\n", out.c_str());
    return 2;
  }
  std::FILE *list = std::fopen((out + "/images.tsv").c_str(), "w");
  if (list == nullptr) {
    std::fprintf(stderr, "lumetra-evaluate-images: cannot write into %s\n", out.c_str());
    return 2;
  }
  std::fprintf(list, "file\tread\twidth\theight\tdpi\tproblem\n");
  std::set<std::string> taken;
  int read = 0;
  for (const std::string &name : names) {
    std::string stem, ext;
    if (!parse_name(name, stem, ext)) continue;
    if (std::find_if(std::begin(kImageExtensions), std::end(kImageExtensions),
                     [&](const char *e) { return ext == e; }) == std::end(kImageExtensions))
      continue;
    imageio::GreyImage image, scaled;
    std::string problem, warning;
    int dpi_y = 0, dpi_x = 0, ignored = 0;
    if (taken.count(stem) != 0) {
      problem = "another file already gave this finger and impression";
    } else if (imageio::read_file(dir + "/" + name, &image, &problem) &&
               (imageio::chosen_resolution(image, {}, &dpi_y, &dpi_x, &ignored),
                imageio::to_library_resolution(image, {}, &scaled, &warning, &problem)) &&
               imageio::write_file(out + "/" + stem + ".bmp", scaled, &problem)) {
      if (!warning.empty())
        std::fprintf(stderr, "lumetra-evaluate-images: %s: warning: %s\n", name.c_str(), warning.c_str());
      taken.insert(stem);
      ++read;
      std::fprintf(list, "%s\t1\t%d\t%d\t%d\t\n", name.c_str(), image.cols, image.rows, dpi_x);
      continue;
    }
    // Tabs and line ends would break the list's columns.
    std::replace_if(problem.begin(), problem.end(), [](char c) { return c == '\t' || c == '\n'; }, ' ');
    std::fprintf(list, "%s\t0\t0\t0\t0\t%s\n", name.c_str(), problem.c_str());
  }
  const bool ok = std::fclose(list) == 0;
  if (read == 0) {
    std::fprintf(stderr, "lumetra-evaluate-images: %s: no <finger>_<impression> image could be read\n",
                 dir.c_str());
    return 2;
  }
  return ok ? 0 : 2;
}
