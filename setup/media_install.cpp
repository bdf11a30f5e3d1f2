#include "setup/media_install.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "foundation/fd_buffers.h"
#include "menu/package_list.h"
#include "menu/package_menu.h"
#include "netinstall/install_server.h"
#include "setup/child_programs.h"
#include "setup/console.h"
#include "setup/disk_preparation.h"
#include "setup/entry.h"

const char* const source_devices[] = {"/dev/hda", "/dev/hdb", "/dev/hdc", "/dev/hdd", nullptr};

namespace {

constexpr size_t INSTALLER_PIECE = 4096;
constexpr size_t MBR_SIZE = 512;

// A whole file in memory. Allocation failure is an outcome here, not a
// reason to abort: the router has little memory and the volume may be big.
struct file_buffer {
  uint32_t size = 0;
  unsigned char* data = nullptr;  // owned (malloc)

  file_buffer() = default;
  file_buffer(const file_buffer&) = delete;
  file_buffer& operator=(const file_buffer&) = delete;
  ~file_buffer() { release(); }
  void release() {
    free(data);
    data = nullptr;
    size = 0;
  }
};

bool read_whole_file(const char* path, file_buffer& buffer) {
  int fd = open(path, O_RDONLY);
  if (fd < 0) return false;
  struct stat status;
  bool whole =
      fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && (uint64_t)status.st_size <= UINT32_MAX;
  if (whole) {
    buffer.size = (uint32_t)status.st_size;
    buffer.data = static_cast<unsigned char*>(malloc(buffer.size ? buffer.size : 1));
    // An early end of the file is a failure too.
    whole = buffer.data != nullptr && read_all(fd, buffer.data, buffer.size) == buffer.size;
  }
  close(fd);
  if (!whole) buffer.release();
  return whole;
}

// Mounts the first source device that carries the file system; its index,
// or -1.
int mount_source(const char* type, unsigned long flags) {
  for (int i = 0; source_devices[i]; ++i) {
    if (mount(source_devices[i], "/floppy", type, flags, nullptr) == 0) return i;
  }
  return -1;
}

// Feeds one package file to its own installer run.
bool install_package_bytes(const file_buffer& package) {
  program_writer* installer = open_program_writer("/sbin/installer", "-r", "/mnt", "-", nullptr);
  if (!installer) {
    console_print("\nFATAL ERROR: Couldn't start install\n");
    return false;
  }
  for (uint32_t done = 0; done < package.size;) {
    uint32_t piece = package.size - done < INSTALLER_PIECE ? package.size - done : INSTALLER_PIECE;
    installer->write((const char*)package.data + done, piece);
    installer->flush();
    if (installer->fail()) {
      console_print("\n");
      close_program(installer);
      return false;
    }
    done += piece;
  }
  close_program(installer);  // the installer's status is not used
  return true;
}

// Copies a package file from the disc into its own installer run.
bool install_package_file(const char* path) {
  program_writer* installer = open_program_writer("/sbin/installer", "-r", "/mnt", "-", nullptr);
  if (!installer) {
    console_print("\nFATAL ERROR: couldn't start install\n");
    return false;
  }
  struct stat status;
  if (stat(path, &status) != 0) {
    console_print("\nFATAL ERROR: corrupted installation CD-ROM\n");
    close_program(installer);
    return false;
  }
  int fd = open(path, O_RDONLY);
  char piece[INSTALLER_PIECE];
  bool copied = fd >= 0;
  for (off_t left = status.st_size; copied && left > 0;) {
    ssize_t n = read_retrying(fd, piece, left < (off_t)sizeof piece ? (size_t)left : sizeof piece);
    if (n <= 0) {
      console_print("\nFATAL ERROR: corrupted CD-ROM\n");
      copied = false;
      break;
    }
    installer->write(piece, (size_t)n);
    installer->flush();
    if (installer->fail()) {
      console_print("\n");
      copied = false;
    }
    left -= n;
  }
  if (fd < 0) console_print("\nFATAL ERROR: corrupted CD-ROM\n");
  close_program(installer);  // the installer's status is not used
  if (fd >= 0) close(fd);
  return copied;
}

// Whether a failed remote installation ends the mode.
enum class remote_failure { ignored, ends_mode };

// Shows the menu until the person installs here (true) or cancels. A remote
// installation shows the menu again afterwards.
bool choose_packages(package_list& list, remote_failure on_failure) {
  for (;;) {
    if (!run_menu(list)) {
      console_print("Installation canceled\n");
      return false;
    }
    if (!remote_chosen(list)) return true;
    if (!install_remote_router(list) && on_failure == remote_failure::ends_mode) return false;
  }
}

bool write_configuration_script(const file_buffer& script) {
  int fd = open("/mnt/autorun.scr", O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (fd < 0) {
    console_print("\nFATAL ERROR: couldn't make script\n");
    return false;
  }
  ssize_t n = script.size ? write(fd, script.data, script.size) : 0;
  bool written = n == (ssize_t)script.size;
  if (close(fd) != 0) written = false;
  if (!written) console_print("\nFATAL ERROR: Writing configuration failed\n");
  return written;
}

// Everything the installation needs from the volume, read before the
// volume's disk may be erased.
struct volume_contents {
  file_buffer packages[MAX_VOLUME_PACKAGES];
  unsigned package_count = 0;
  file_buffer configuration;
  unsigned char mbr[MBR_SIZE];
};

bool read_volume(install_context& context, install_order& order, volume_contents& volume,
                 bool choice_mode) {
  if (install_order_length(order) > MAX_VOLUME_PACKAGES) {
    console_print("\nFATAL ERROR: too many packages on the volume (%u, at most %u)\n",
                  (unsigned)install_order_length(order), MAX_VOLUME_PACKAGES);
    return false;
  }
  while (const char* path = next_package_path(order)) {
    console_print("Reading: %s...", current_package_name(order));
    busy_start(context, "");
    bool read = read_whole_file(path, volume.packages[volume.package_count]);
    busy_stop(context);
    if (!read) {
      console_print("\nFATAL ERROR: could not read file %s\n", path);
      return false;
    }
    ++volume.package_count;
  }
  if (!read_whole_file("/floppy/autorun.scr", volume.configuration)) {
    console_print("\nFATAL ERROR: could not read configuration\n");
    return false;
  }
  install_order_rewind(order);
  if (choice_mode) return true;  // the volume keeps its first sector
  int fd = open("/floppy/mbr", O_RDONLY);
  if (fd < 0) {
    console_print("\nFATAL ERROR: Couldn't open mbr file\n");
    return false;
  }
  ssize_t n = read(fd, volume.mbr, MBR_SIZE);
  close(fd);
  if (n != (ssize_t)MBR_SIZE) {
    console_print("\nFATAL ERROR: Couldn't read mbr file\n");
    return false;
  }
  return true;
}

// The volume's first sector gets the boot sector the volume carries.
bool replace_first_sector(const char* device, const unsigned char* sector) {
  int fd = open(device, O_WRONLY);
  if (fd < 0) {
    console_print("\nFATAL ERROR: Couldn't open disk\n");
    return false;
  }
  bool written = pwrite(fd, sector, MBR_SIZE, 0) == (ssize_t)MBR_SIZE && fsync(fd) == 0;
  close(fd);
  if (!written) console_print("\nFATAL ERROR: Couldn't write to disk\n");
  return written;
}

}  // namespace

bool confirm_erase(install_context&) {
  console_print("Warning: all data on the disk will be erased!\n\n");
  if (!ask_yes_no(*console_terminal, "Continue?")) return false;
  console_print("\n");
  return true;
}

bool ask_keep_config(install_context&) {
  bool keep = ask_yes_no(*console_terminal, "Do you want to keep old configuration? ");
  console_print("\n");
  return keep;
}

bool install_from_cdrom(install_context& context) {
  if (!find_target_disk(context)) return false;
  if (mount_source("iso9660", MS_MGC_VAL | MS_RDONLY) < 0) {
    console_print("\nFATAL ERROR: no CD-ROM found\n");
    return false;
  }
  package_list list;
  package_list_init(list, "/floppy");
  if (!load_packages(list, false) || !choose_packages(list, remote_failure::ignored)) return false;
  if (!confirm_erase(context)) return false;
  bool keep = ask_keep_config(context);
  if (!prepare_disk(context, keep ? keep_config::yes : keep_config::no, boot_sector::write))
    return false;
  console_print("\n");
  install_order order;
  install_order_init(order, list);
  while (const char* path = next_package_path(order)) {
    if (!install_package_file(path)) return false;
  }
  int marker = open("/mnt/CDINSTALL", O_WRONLY | O_CREAT, 0600);
  if (marker >= 0) close(marker);
  finish_installation(context);
  console_print("\nSoftware installed.\n");
  return true;
}

bool install_from_hard_disk(install_context& context) {
  show_welcome("hard disk installation");
  int source = mount_source("vfat", 0);
  if (source < 0) {
    console_print("\nFATAL ERROR: No hard disk found\n");
    return false;
  }
  const char* volume_device = source_devices[source];
  struct stat status;
  bool choice_mode = stat("/floppy/CHOOSE", &status) == 0;
  package_list list;
  if (choice_mode) {
    package_list_init(list, "/floppy");
    if (!load_packages(list, false) || !choose_packages(list, remote_failure::ends_mode))
      return false;
  } else {
    package_list_setup(list, "/floppy");
    if (!load_packages(list, true)) return false;
  }
  install_order order;
  install_order_init(order, list);

  volume_contents* volume = new volume_contents();
  bool installed = read_volume(context, order, *volume, choice_mode);
  umount("/floppy");
  if (!choice_mode) installed = installed && replace_first_sector(volume_device, volume->mbr);
  installed = installed && find_target_disk(context);
  if (installed) {
    bool provided = !choice_mode && strcmp(volume_device, context.disk.device) == 0;
    installed = prepare_disk(context, keep_config::no,
                             provided ? boot_sector::already_provided : boot_sector::write);
  }
  if (installed) console_print("\n");
  for (unsigned i = 0; installed && i < volume->package_count; ++i) {
    installed = install_package_bytes(volume->packages[i]);
    volume->packages[i].release();
  }
  installed = installed && write_configuration_script(volume->configuration);
  if (installed) {
    finish_installation(context);
    console_print("\nSoftware installed.\n");
    console_flush();
    sleep(2);
  }
  delete volume;
  return installed;
}
