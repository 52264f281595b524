// `lumetra enroll` and `lumetra verify`: the library's enrollment session
// and verification, driven through its exports exactly as a host drives
// them, with template record files standing for the host's storage.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "cli.h"
#include "engine/objects/qx_multitemplate_enroll.h"
#include "engine/qx_rc.h"
#include "lumetra.h"
#include "records.h"

namespace cli {

namespace {

// Slot the enrolled template is built in, and the number of slots.
constexpr int kEnrollSlot = 0;
constexpr int kSlots = LUMETRA_TOOLS_SLOTS;
// Verification mode 0: the loaded slots in turn, the first accepted wins.
constexpr int kModeSlotBySlot = 0;
// Template type of an enrolled finger (a multi-template).
constexpr unsigned kMultiTemplateType = 80;
// The verification's answer for an image or template it does not compare.
constexpr int kWrongArgument = -1;

// Enrollment events as get_nerio_alg_info reports them (the low 8 bits of
// the engine's event codes).
constexpr int kEventExtracted = QX_ENROLL_EVENT_EXTRACTED & 0xFF;
constexpr int kEventDuplicate = QX_ENROLL_EVENT_DUPLICATE & 0xFF;
constexpr int kEventDuplicateOfLast = QX_ENROLL_EVENT_DUPLICATE_OF_LAST & 0xFF;
constexpr int kEventNoMatch = QX_ENROLL_EVENT_NO_MATCH & 0xFF;

const char *event_text(int event) {
  switch (event) {
    case kEventExtracted: return "extracted and recorded";
    case kEventDuplicate: return "too close to an accepted capture";
    case kEventDuplicateOfLast: return "too close to the previous capture";
    case kEventNoMatch: return "matched no earlier capture";
    default: return "";
  }
}

// What became of one image handed to the enrollment.
struct Capture {
  const char *outcome;  // "accepted", "duplicate", "no-template", "full"
  int event;            // last event the library reported for it, 0 for none
  int progress;
};

lumetra_tools_enroll_counts enroll_counts() {
  lumetra_tools_enroll_counts counts;
  lumetra_tools_get_enroll_counts(&counts);
  return counts;
}

std::string capture_line(const std::string &file, const Capture &c) {
  std::string line = file + ": ";
  if (std::strcmp(c.outcome, "accepted") == 0) line += "accepted";
  else if (std::strcmp(c.outcome, "duplicate") == 0) line += "refused as a duplicate";
  else if (std::strcmp(c.outcome, "full") == 0) line += "not used: the enrollment is full";
  else line += "not used: no template could be extracted";
  if (c.event != 0 && event_text(c.event)[0] != '\0')
    line += std::string(" (") + event_text(c.event) + ")";
  return line + ", progress " + std::to_string(c.progress) + "%";
}

void draw_bar(int progress, size_t done, size_t total) {
  constexpr int kWidth = 30;
  const int filled = progress * kWidth / 100;
  std::printf("\r\033[K[%.*s%.*s] %3d%%  %zu/%zu", filled, "##############################",
              kWidth - filled, "..............................", progress, done, total);
  std::fflush(stdout);
}

// Reads every image (all of one size: the sensor's) before the library
// sees any; false after reporting the first that fails.
bool read_all(const std::vector<std::string> &files, const ImageOptions &options,
              std::vector<Picture> *pics, int *status) {
  pics->resize(files.size());
  for (size_t i = 0; i < files.size(); ++i) {
    std::string problem;
    if (!read_picture(files[i], options, &(*pics)[i], &problem)) {
      *status = fail(files[i], problem);
      return false;
    }
    if ((*pics)[i].cols != (*pics)[0].cols || (*pics)[i].rows != (*pics)[0].rows) {
      *status = fail(files[i], "is " + std::to_string((*pics)[i].cols) + " x " +
                                   std::to_string((*pics)[i].rows) + " pixels; " + files[0] +
                                   " is " + std::to_string((*pics)[0].cols) + " x " +
                                   std::to_string((*pics)[0].rows) +
                                   " (one sensor, one size)");
      return false;
    }
  }
  return true;
}

}  // namespace

// ---- enroll ---------------------------------------------------------------

int cmd_enroll(const std::vector<std::string> &args) {
  Arguments a;
  int status = kExitOk;
  if (!parse_arguments("enroll", args, {true, {"-o", "--min-progress"}, {}}, &a, &status))
    return status;
  if (a.value("-o") == nullptr) return fail("enroll", "needs -o FINGER.tpl");
  // Progress is the library's measure of the finger area covered (0..100);
  // an enrollment below this is written, but reported as incomplete.
  int min_progress = 100;
  if (const std::string *v = a.value("--min-progress");
      v != nullptr && !parse_int(v->c_str(), 0, 100, &min_progress))
    return fail(*v, "not a progress in percent (0..100)");
  if (a.files.empty()) return fail("enroll", "no image given");
  const std::string &output = *a.value("-o");
  std::vector<Picture> pics;
  if (!read_all(a.files, a.image, &pics, &status)) return status;
  if (!init_for(a.files[0], pics[0], &status)) return status;

  const bool bar = !a.json && isatty(STDOUT_FILENO) != 0;
  std::vector<Capture> captures;
  int accepted = 0, refused = 0, unused = 0;
  for (size_t i = 0; i < pics.size(); ++i) {
    const lumetra_tools_enroll_counts before = enroll_counts();
    unsigned char progress = 0;
    // The first image opens the session, the others continue it.
    if (nerio_qx_enroll_Image(pics[i].pixels.data(), 0, i > 0, &progress) != 0) {
      if (bar) std::printf("\n");
      nerio_qx_cancel_enroll();
      uninit_nerio_algorithm();
      return fail(a.files[i], "the library opens no enrollment session");
    }
    unsigned short info = 0;
    get_nerio_alg_info(&info);
    Capture c{"no-template", 0, info & 0xFF};
    // Recorded captures send events; an image that yields no template (or
    // comes when the enrollment is full) sends none and is not recorded.
    const lumetra_tools_enroll_counts after = enroll_counts();
    if (after.records > before.records) {
      c.event = info >> 8;
      c.outcome = after.captures > before.captures ? "accepted" : "duplicate";
    } else if (after.captures >= after.capacity) {
      c.outcome = "full";
    }
    accepted += std::strcmp(c.outcome, "accepted") == 0;
    refused += std::strcmp(c.outcome, "duplicate") == 0;
    unused += std::strcmp(c.outcome, "accepted") != 0 && std::strcmp(c.outcome, "duplicate") != 0;
    captures.push_back(c);
    if (bar) {
      // Refusals stay on screen above the bar.
      if (std::strcmp(c.outcome, "accepted") != 0)
        std::printf("\r\033[K%s\n", capture_line(a.files[i], c).c_str());
      draw_bar(c.progress, i + 1, pics.size());
    } else if (!a.json) {
      std::printf("%s\n", capture_line(a.files[i], c).c_str());
    }
  }
  if (bar) std::printf("\r\033[K");

  auto record = std::make_unique<tpl_record>();
  const int saved = nerio_qx_save_tpl(kEnrollSlot, record.get());
  uninit_nerio_algorithm();
  if (saved != 0)
    return fail(output, saved > 0 ? "no template could be built from these images (" +
                                        std::to_string(accepted) + " captures accepted)"
                                  : "the enrolled template is too large for a template record");
  std::string problem;
  if (!write_record_file(output, *record, &problem)) return fail(output, problem);
  int progress = 0;
  for (const Capture &c : captures) progress = std::max(progress, c.progress);
  const bool complete = progress >= min_progress;
  if (!complete)
    warn(output, "the enrollment is incomplete: progress " + std::to_string(progress) +
                     "% is below " + std::to_string(min_progress) +
                     "% (more captures of the finger, or --min-progress; exit status 3)");
  if (a.json) {
    std::string list;
    for (size_t i = 0; i < captures.size(); ++i) {
      list += std::string(i ? ", " : "") + "{\"file\": " + json_string(a.files[i]) +
              ", \"outcome\": \"" + captures[i].outcome + "\", \"event\": " +
              std::to_string(captures[i].event) + ", \"progress\": " +
              std::to_string(captures[i].progress) + "}";
    }
    std::printf("{\"output\": %s, \"type\": %u, \"bytes\": %u, \"progress\": %d, "
                "\"complete\": %s, \"accepted\": %d, \"refused\": %d, \"unused\": %d, "
                "\"captures\": [%s]}\n",
                json_string(output).c_str(), record->type, record->length, progress,
                complete ? "true" : "false", accepted, refused, unused, list.c_str());
  } else {
    std::printf("%s: template of type %u, %u bytes, from %d accepted of %zu images "
                "(%d refused as duplicates, %d unused); progress %d%%\n",
                output.c_str(), record->type, record->length, accepted, pics.size(), refused,
                unused, progress);
  }
  return complete ? kExitOk : kExitIncomplete;
}

// ---- verify ---------------------------------------------------------------

int cmd_verify(const std::vector<std::string> &args) {
  Arguments a;
  int status = kExitOk;
  if (!parse_arguments("verify", args, {true, {"--far"}, {"--update"}}, &a, &status))
    return status;
  int far = kDefaultFar;
  if (!far_level(a, &far, &status)) return status;
  if (a.files.size() < 2) return fail("verify", "needs FINGER.tpl... and one image");
  const std::string image = a.files.back();
  const std::vector<std::string> templates(a.files.begin(), a.files.end() - 1);
  if (templates.size() > static_cast<size_t>(kSlots))
    return fail(templates[kSlots], "the library holds at most " + std::to_string(kSlots) +
                                       " templates");
  std::vector<std::unique_ptr<tpl_record>> records;
  std::string problem;
  for (const std::string &t : templates) {
    records.push_back(std::make_unique<tpl_record>());
    if (!read_record_file(t, records.back().get(), &problem)) return fail(t, problem);
  }
  std::vector<Picture> pics;
  if (!read_all({image}, a.image, &pics, &status)) return status;
  const Picture &pic = pics[0];
  if (!init_for(image, pic, &status)) return status;
  // Init empties the slots: the records are loaded after it, one a slot.
  // The library decodes each record as it loads it and refuses one whose
  // bytes do not hold together, which it would otherwise only ever find
  // "no match".
  for (size_t i = 0; i < records.size(); ++i) {
    if (init_alg_tpl_data(static_cast<int>(i), records[i].get()) != 0 ||
        !lumetra_tools_slot_loaded(static_cast<int>(i))) {
      uninit_nerio_algorithm();
      return fail(templates[i],
                  records[i]->type == kMultiTemplateType
                      ? "a damaged enrolled template (the library cannot decode its record)"
                      : "the library does not take this template record (type " +
                            std::to_string(records[i]->type) + ", it cannot decode it)");
    }
  }
  set_nerio_FAR_Val(far);
  // The library updates an accepted enrolled template in its slot; only
  // --update writes the result back to the file.
  set_fp_dyn_update_flg(1);

  // One verification through the library: it extracts the probe once,
  // scores it against every loaded template the way the slot-by-slot
  // verification does (before an update can change one), and decides.
  int matched = -1, updated = 0;
  lumetra_tools_verify_report report;
  const int verified =
      lumetra_tools_verify(pic.pixels.data(), &matched, &updated, kModeSlotBySlot, &report);
  const bool match = verified == 0 && matched >= 0 && matched < static_cast<int>(records.size());
  // The library compares no image with a template of another sensor size
  // (its subtemplates record the image size they were made from): that is
  // no judgement of the finger, so it is an error, not a "no match".
  if (verified == kWrongArgument) {
    uninit_nerio_algorithm();
    for (size_t i = 0; i < records.size(); ++i)
      if (report.other_sensor[i])
        return fail(templates[i], "was enrolled on another sensor size than " + image + " (" +
                                      std::to_string(pic.cols) + " x " +
                                      std::to_string(pic.rows) +
                                      " pixels at 500 dpi): the library compares only images "
                                      "of the template's own sensor size");
    return fail(image, "the library's configuration does not serve an image of this size");
  }
  if (report.extract_rc != QX_RC_OK || !report.extracted) {
    uninit_nerio_algorithm();
    return fail(image, "the library extracts no template from this image (result " +
                           std::to_string(report.extract_rc) + ")");
  }
  std::vector<int> scores(records.size(), -1);
  for (size_t i = 0; i < records.size(); ++i)
    if (report.scored[i]) scores[i] = report.score[i];
  // A loaded template the library cannot score a probe against is no
  // template of this library, not an impostor.
  for (size_t i = 0; i < records.size(); ++i)
    if (scores[i] < 0) {
      uninit_nerio_algorithm();
      return fail(templates[i], "the library cannot compare the image with this template "
                                "(not a template of this library's verification)");
    }
  bool written = false;
  if (match && updated != 0 && a.has("--update")) {
    auto record = std::make_unique<tpl_record>();
    // The slot hands back its whole data area (32760 bytes, the template
    // and the slot's padding); the file takes the template's own bytes.
    size_t used = record->length;
    const bool got = nerio_qx_get_tpl(matched, record.get()) == 0 && record->length > 0;
    if (got && record->type == kMultiTemplateType &&
        multitemplate_extent(record->data, record->length, &used, &problem))
      record->length = static_cast<uint32_t>(used);
    if (!got || !problem.empty() || !write_record_file(templates[matched], *record, &problem)) {
      uninit_nerio_algorithm();
      return fail(templates[matched],
                  problem.empty() ? "the library gives no updated template" : problem);
    }
    written = true;
  }
  uninit_nerio_algorithm();

  const int best = static_cast<int>(std::max_element(scores.begin(), scores.end()) - scores.begin());
  const int shown = match ? matched : best;
  if (a.json) {
    std::string list;
    for (size_t i = 0; i < records.size(); ++i)
      list += std::string(i ? ", " : "") + "{\"template\": " + json_string(templates[i]) +
              ", \"score\": " + (scores[i] < 0 ? "null" : std::to_string(scores[i])) + "}";
    std::printf("{\"image\": %s, \"far\": %d, \"match\": %s, \"template\": %s, \"slot\": %s, "
                "\"score\": %s, \"updated\": %s, \"written\": %s, \"scores\": [%s]}\n",
                json_string(image).c_str(), far, match ? "true" : "false",
                match ? json_string(templates[matched]).c_str() : "null",
                match ? std::to_string(matched).c_str() : "null",
                match && scores[matched] >= 0 ? std::to_string(scores[matched]).c_str() : "null",
                updated != 0 ? "true" : "false", written ? "true" : "false", list.c_str());
  } else if (match) {
    std::printf("%s: match with %s (slot %d), score %d at false-accept level %d\n", image.c_str(),
                templates[matched].c_str(), matched, scores[matched], far);
    if (updated != 0)
      std::printf(written ? "template updated by the library and written back to %s\n"
                          : "template updated by the library (not written to %s: --update "
                            "writes it back)\n",
                  templates[matched].c_str());
  } else {
    if (scores[shown] >= 0)
      std::printf("%s: no match at false-accept level %d (best score %d, %s)\n", image.c_str(),
                  far, scores[shown], templates[shown].c_str());
    else
      std::printf("%s: no match at false-accept level %d (the library scores no template "
                  "against it)\n", image.c_str(), far);
  }
  return match ? kExitOk : kExitNoMatch;
}

}  // namespace cli
