#include "package_format/file_data_reader.h"

entry_step file_data_reader::broken(const char* reason) {
  problem_ = reason;
  return ENTRY_BROKEN;
}

bool file_data_reader::skip_data() {
  if (problem_) return false;
  if (data_left_ > 0) {
    stream_.seekg((stream_offset)data_left_, SEEK_FROM_CURRENT);
    if (!stream_) {
      broken("the data of an entry is cut short");
      return false;
    }
    data_left_ = 0;
  }
  return true;
}

entry_step file_data_reader::next_entry(file_entry& entry, string& name) {
  if (!skip_data()) return ENTRY_BROKEN;
  unsigned char header[FILE_ENTRY_HEADER_SIZE];
  stream_.read((char*)header, sizeof header);
  if (stream_.gcount() < sizeof header) {
    partial_header_ = stream_.gcount();
    return ENTRIES_DONE;
  }
  entry = decode_file_entry(header);
  ++entries_read_;
  // The name is at most 65535 bytes by its 16-bit length, so sizing it
  // before the bytes arrive is bounded.
  name.resize(entry.name_length);
  if (entry.name_length > 0 && !stream_.read(name.begin(), entry.name_length)) {
    name.resize(stream_.gcount());
    return broken("the name of an entry is cut short");
  }
  data_left_ = entry.data_size;
  if (const char* problem = file_entry_problem(entry)) return broken(problem);
  return ENTRY_READ;
}

size_t file_data_reader::read_data(char* destination, size_t n) {
  if (n > data_left_) n = data_left_;
  if (n == 0) return 0;
  stream_.read(destination, n);
  size_t got = stream_.gcount();
  data_left_ -= (uint32_t)got;
  if (got < n) problem_ = "the data of an entry is cut short";
  return got;
}
