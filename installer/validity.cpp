#include "installer/validity.h"

#include <stdint.h>

#include "foundation/vector.h"
#include "installer/repository.h"
#include "package_format/version.h"

package_record* find_package(const string& name) {
  for (package_record* record : the_repository().packages)
    if (record->name == name) return record;
  return nullptr;
}

string owner_of_path(const string& path) {
  for (package_record* record : the_repository().packages)
    if (record->files.contains(path)) return record->name;
  return string();
}

package_record* conflicting_package(const package_header& record) {
  for (package_record* installed : the_repository().packages)
    for (const requirement_entry& conflict : installed->conflicts)
      if (satisfies(record, conflict)) return installed;
  return nullptr;
}

namespace {

// Name index over the package list for the passes of one revalidation: the
// first record of each name in list order, and every conflict entry of the
// installed packages under the name it names, in list order. It holds
// pointers to the records and their conflict entries, so it is good only
// while no record is added, removed, reordered or given other conflicts;
// valid flags may change, they are read through the pointers. Owns its
// tables, never the records.
class package_index {
 public:
  explicit package_index(const linked_list<package_record>& packages);
  package_index(const package_index&) = delete;
  package_index& operator=(const package_index&) = delete;

  // The answers of find_package and conflicting_package for the indexed list.
  package_record* find(const string& name) const;
  package_record* conflicting(const package_header& record) const;

 private:
  static constexpr uint32_t NONE = UINT32_MAX;
  struct slot {
    const string* name;       // a record's or a conflict's name; null when free
    package_record* package;  // the first of that name; null when only conflicts name it
    uint32_t first_conflict;  // into conflicts_, NONE when none names it
    uint32_t last_conflict;
  };
  struct conflict_link {
    package_record* owner;  // the installed package that lists the conflict
    const requirement_entry* entry;
    uint32_t next;  // the next conflict of the same name, NONE at the end
  };

  // The position of the slot holding name, or of the free slot where it goes.
  size_t position_of(const string& name) const;

  vector<slot> slots_;  // open addressing, linear probing, at most half full
  vector<conflict_link> conflicts_;
  size_t mask_;
};

// FNV-1a over the name's bytes.
uint32_t name_hash(const string& name) {
  uint32_t hash = 2166136261u;
  for (char c : name) hash = (hash ^ (unsigned char)c) * 16777619u;
  return hash;
}

package_index::package_index(const linked_list<package_record>& packages) {
  size_t names = 0;
  for (package_record* record : packages) names += 1 + record->conflicts.size();
  size_t capacity = 16;
  while (capacity < 2 * names) capacity *= 2;
  mask_ = capacity - 1;
  slots_.reserve(capacity);
  for (size_t i = 0; i < capacity; ++i) slots_.push_back(slot{nullptr, nullptr, NONE, NONE});
  for (package_record* record : packages) {
    slot& own = slots_[position_of(record->name)];
    own.name = &record->name;
    if (!own.package) own.package = record;  // the first of the name wins
    for (const requirement_entry& conflict : record->conflicts) {
      slot& named = slots_[position_of(conflict.name)];
      named.name = &conflict.name;
      uint32_t link = (uint32_t)conflicts_.size();
      conflicts_.push_back(conflict_link{record, &conflict, NONE});
      if (named.first_conflict == NONE) {
        named.first_conflict = link;
      } else {
        conflicts_[named.last_conflict].next = link;
      }
      named.last_conflict = link;
    }
  }
}

size_t package_index::position_of(const string& name) const {
  size_t i = name_hash(name) & mask_;
  while (slots_[i].name && *slots_[i].name != name) i = (i + 1) & mask_;
  return i;
}

package_record* package_index::find(const string& name) const {
  return slots_[position_of(name)].package;
}

package_record* package_index::conflicting(const package_header& record) const {
  // Only a conflict entry of the record's own name can be met by it; the
  // chain is in list order, so the first one met names the first package.
  for (uint32_t i = slots_[position_of(record.name)].first_conflict; i != NONE;
       i = conflicts_[i].next)
    if (satisfies(record, *conflicts_[i].entry)) return conflicts_[i].owner;
  return nullptr;
}

bool check_validity(package_record& record, const package_index& lookup) {
  if (!record.valid) return false;
  for (const requirement_entry& dependency : record.dependencies) {
    package_record* provider = lookup.find(dependency.name);
    if (!provider || !provider->valid || !satisfies(*provider, dependency)) {
      record.valid = false;
      break;
    }
  }
  if (record.valid && lookup.conflicting(record)) record.valid = false;
  if (record.valid && !record.bundle.name.empty()) {
    package_record* bundle = lookup.find(record.bundle.name);
    if (!bundle || !bundle->valid) record.valid = false;
  }
  return record.valid;
}

}  // namespace

void revalidate_packages() {
  // The passes change valid flags only, never the list: one index serves
  // them all and is gone before anything can move a record.
  package_index index(the_repository().packages);
  bool changed = true;
  while (changed) {
    changed = false;
    for (package_record* record : the_repository().packages)
      if (record->valid && !check_validity(*record, index)) changed = true;
  }
}
