#include "menu/package_list.h"

#include <dirent.h>
#include <string.h>

#include "foundation/streams.h"
#include "package_format/package_reader.h"

namespace {

bool is_package_file_name(const char* name) {
  size_t length = strlen(name);
  return length >= 4 && strcmp(name + length - 4, ".kpk") == 0;
}

bool same_name(const string& a, const string& b) {
  return strncmp(a.c_str(), b.c_str(), MENU_NAME_SIZE) == 0;
}

void visit(install_order& order, vector<bool>& visited, size_t index) {
  if (visited[index]) return;
  visited[index] = true;
  const package_entry& entry = order.list->entries[index];
  for (const requirement_entry& dependency : entry.header.dependencies) {
    long found = find_package(*order.list, dependency.name);
    if (found >= 0) visit(order, visited, (size_t)found);
  }
  order.indexes.push_back(index);
}

}  // namespace

void package_list_setup(package_list& list, const char* directory) {
  list.directory = directory;
  list.entries.clear();
  list.remote = false;
}

bool read_package_summary(const char* path, package_entry& entry) {
  file_input_stream file(path);
  return file.is_open() && read_package_summary(file, entry);
}

bool read_package_summary(input_stream& file, package_entry& entry) {
  package_reader reader(file);
  reader.add_wanted_type(SECTION_PACKAGE_HEADER);
  reader.add_wanted_type(SECTION_DESCRIPTION);
  reader.add_wanted_type(SECTION_DEPENDENCIES);
  if (reader.next_wanted_section() != SECTION_PACKAGE_HEADER) return false;
  if (!read_header_record(reader, entry.header)) return false;
  entry.description.clear();
  entry.header.dependencies.clear();
  reader.next_wanted_section();
  if (reader.current_type() == SECTION_DESCRIPTION) {
    if (!read_payload_text(reader, entry.description)) return false;
    reader.next_wanted_section();
  }
  if (reader.current_type() != SECTION_DEPENDENCIES) return true;
  return read_requirement_list(reader, entry.header.dependencies);
}

bool load_packages(package_list& list, bool selected) {
  list.entries.clear();
  DIR* directory = opendir(list.directory);
  if (!directory) {
    standard_output << "FATAL ERROR: No packages found" << endl;
    return false;
  }
  vector<string> names;
  while (struct dirent* file = readdir(directory)) {
    if (is_package_file_name(file->d_name)) names.push_back(string(file->d_name));
  }
  closedir(directory);
  if (names.empty()) {
    standard_output << "FATAL ERROR: No packages found" << endl;
    return false;
  }
  for (const string& name : names) {
    package_entry entry;
    entry.path = string(list.directory) + "/" + name;
    if (!read_package_summary(entry.path.c_str(), entry)) {
      standard_output << "FATAL ERROR: Bad package " << entry.path << endl;
      list.entries.clear();
      return false;
    }
    entry.selected = selected;
    list.entries.push_back(entry);
  }
  return true;
}

long find_package(const package_list& list, const string& name) {
  for (size_t i = 0; i < list.entries.size(); ++i) {
    if (same_name(list.entries[i].header.name, name)) return (long)i;
  }
  return -1;
}

void install_order_init(install_order& order, const package_list& list) {
  order.list = &list;
  order.indexes.clear();
  order.cursor = 0;
  order.current = -1;
  vector<bool> visited;
  for (size_t i = 0; i < list.entries.size(); ++i) visited.push_back(false);
  for (size_t i = 0; i < list.entries.size(); ++i) {
    if (list.entries[i].selected) visit(order, visited, i);
  }
}

const char* next_package_path(install_order& order) {
  if (order.cursor >= order.indexes.size()) return nullptr;
  order.current = (long)order.indexes[order.cursor++];
  return order.list->entries[(size_t)order.current].path.c_str();
}

const char* current_package_name(const install_order& order) {
  if (order.current < 0) return "";
  return order.list->entries[(size_t)order.current].header.name.c_str();
}

void install_order_rewind(install_order& order) {
  order.cursor = 0;
  order.current = -1;
}

size_t install_order_length(const install_order& order) {
  return order.indexes.size();
}
