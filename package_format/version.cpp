#include "package_format/version.h"

#include <stdio.h>

namespace {

const char* stage_word(unsigned stage) {
  switch (stage) {
    case STAGE_ALPHA:
      return "alpha";
    case STAGE_BETA:
      return "beta";
    case STAGE_RC:
      return "rc";
    default:
      return "";  // an unnamed stage: the number runs on from the minor
  }
}

// Reads decimal digits at *text into *value, refusing more than 255 and
// refusing no digits at all. Advances *text past the digits.
bool parse_component(const char** text, unsigned* value) {
  const char* p = *text;
  unsigned result = 0;
  if (*p < '0' || *p > '9') return false;
  while (*p >= '0' && *p <= '9') {
    result = result * 10 + (unsigned)(*p - '0');
    if (result > 255) return false;
    ++p;
  }
  *value = result;
  *text = p;
  return true;
}

// Matches one of the stage words at *text; "rc" before the others is fine
// because no word is a prefix of another.
bool parse_stage(const char** text, unsigned* stage) {
  static const struct {
    const char* word;
    unsigned stage;
  } words[] = {{"alpha", STAGE_ALPHA}, {"beta", STAGE_BETA}, {"rc", STAGE_RC}};
  for (const auto& w : words) {
    size_t n = 0;
    while (w.word[n] && (*text)[n] == w.word[n]) ++n;
    if (w.word[n] == '\0') {
      *text += n;
      *stage = w.stage;
      return true;
    }
  }
  return false;
}

}  // namespace

const char* format_version(version_number v) {
  // The formatter's own buffer: callers copy before the next call.
  static char text[80];
  unsigned major = v >> 24 & 0xFF, minor = v >> 16 & 0xFF;
  unsigned stage = v >> 8 & 0xFF, number = v & 0xFF;
  if (stage == STAGE_FINAL) {
    if (number != 0)
      snprintf(text, sizeof text, "%u.%u.%u", major, minor, number);
    else
      snprintf(text, sizeof text, "%u.%u", major, minor);
    return text;
  }
  if (number != 0)
    snprintf(text, sizeof text, "%u.%u%s%u", major, minor, stage_word(stage), number);
  else
    snprintf(text, sizeof text, "%u.%u%s", major, minor, stage_word(stage));
  return text;
}

string requirement_label(const requirement_entry& entry) {
  string label(entry.name);
  if (entry.minimum != 0) {
    label.append('-');
    label.append(format_version(entry.minimum));
  }
  return label;
}

// major "." minor, then nothing (final), "." number (final with a third
// component), or a stage word with an optional number. Nothing else may
// follow, so "2.9 " or "2.9rc3x" are refused rather than half-read.
bool parse_version(const char* text, version_number* result) {
  if (!text) return false;
  const char* p = text;
  unsigned major, minor, stage = STAGE_FINAL, number = 0;
  if (!parse_component(&p, &major) || *p++ != '.') return false;
  if (!parse_component(&p, &minor)) return false;
  if (*p == '.') {
    ++p;
    if (!parse_component(&p, &number)) return false;
  } else if (*p != '\0') {
    if (!parse_stage(&p, &stage)) return false;
    if (*p != '\0' && !parse_component(&p, &number)) return false;
  }
  if (*p != '\0') return false;
  *result = make_version(major, minor, stage, number);
  return true;
}
