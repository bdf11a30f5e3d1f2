#include "tools/kpk_zlib_check.h"

#include <stdio.h>
#include <string.h>

checking_source::checking_source(stream_buffer* source) : source_(source) {
  memset(&zlib_, 0, sizeof zlib_);
  status_ = inflateInit(&zlib_);
  snprintf(message_, sizeof message_, "%s", status_ == Z_OK ? "" : "cannot start zlib");
}

checking_source::~checking_source() {
  inflateEnd(&zlib_);
}

size_t checking_source::xsgetn(char* destination, size_t n) {
  size_t got = source_->xsgetn(destination, n);
  check(destination, got);
  return got;
}

void checking_source::drain() {
  char chunk[4096];
  while (xsgetn(chunk, sizeof chunk) == sizeof chunk) {
  }
}

void checking_source::check(const char* data, size_t n) {
  if (status_ == Z_STREAM_END) trailing_ += n;
  if (status_ != Z_OK || n == 0) return;
  zlib_.next_in = (Bytef*)data;
  zlib_.avail_in = (uInt)n;
  for (;;) {
    zlib_.next_out = scratch_;
    zlib_.avail_out = sizeof scratch_;
    int result = inflate(&zlib_, Z_NO_FLUSH);
    if (result == Z_STREAM_END) {
      status_ = Z_STREAM_END;
      trailing_ += zlib_.avail_in;
      break;
    }
    if (result != Z_OK && result != Z_BUF_ERROR) {
      status_ = result;
      error_offset_ = consumed_ + (n - zlib_.avail_in);
      snprintf(message_, sizeof message_, "%s", zlib_.msg ? zlib_.msg : "corrupt data");
      break;
    }
    if (zlib_.avail_in == 0 && zlib_.avail_out != 0) break;
  }
  consumed_ += n;
}
