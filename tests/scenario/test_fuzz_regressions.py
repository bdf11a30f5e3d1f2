"""Faults found by the fuzz work (the targets and the building of their seed
corpora), each kept as a scenario on a scratch root.

A package places entries anywhere in the root, and the installer writes its
records through whatever stands at their paths and reads them back from
text files; what a package names must not reach records or files of others
through either.
"""
import os

import pytest

import pkgtools as P

pytestmark = pytest.mark.skipif(os.geteuid() != 0, reason="needs root")

E = P.FileEntry
LINK = 0o120777


def header(section_type, name):
    return P.raw_section(section_type, P.header_record(name, "1.0"))


def files(*entries):
    return P.raw_section(P.SECTION_FILE_DATA, P.file_data(list(entries)))


def install(root, tmp_path, data):
    path = tmp_path / "package.kpk"
    path.write_bytes(data)
    return root.installer(str(path))


def test_record_files_are_not_written_through_links_the_package_placed(root, tmp_path):
    os.makedirs(root.p("/etc"))
    with open(root.p("/etc/passwd"), "w") as f:
        f.write("root:x:0:0\n")
    install(root, tmp_path, P.raw_package([
        header(P.SECTION_PACKAGE_HEADER, "dup"),
        files(E("/var/pdb/dup/deps", b"/etc/passwd", mode=LINK),
              E("/var/pdb/dup/version", b"/etc/created", mode=LINK))]))
    assert root.read("/etc/passwd") == "root:x:0:0\n"
    assert not root.exists("/etc/created")


def test_a_database_directory_placed_as_a_link_is_neither_filled_nor_emptied(root, tmp_path):
    os.makedirs(root.p("/etc"))
    for name in ("passwd", "fstab"):
        with open(root.p("/etc/" + name), "w") as f:
            f.write("keep\n")
    # The first member makes the second member's database directory a link to /etc.
    install(root, tmp_path, P.raw_package([
        header(P.SECTION_BUNDLE_HEADER, "set"),
        header(P.SECTION_PACKAGE_HEADER, "evil"),
        files(E("/var/pdb/victim", b"/etc", mode=LINK)),
        header(P.SECTION_PACKAGE_HEADER, "victim"),
        files(E("/v", b"v"))]))
    open(root.p("/var/deinstall/victim"), "w").close()
    root.installer()
    assert sorted(os.listdir(root.p("/etc"))) == ["fstab", "passwd"]


def plain_package(name, path):
    return P.raw_package([header(P.SECTION_PACKAGE_HEADER, name), files(E(path, b"x"))])


def test_removing_a_package_whose_file_name_holds_a_newline_keeps_other_files(root, tmp_path):
    os.makedirs(root.p("/etc"))
    with open(root.p("/etc/passwd"), "w") as f:
        f.write("root:x:0:0\n")
    install(root, tmp_path, plain_package("other", "/other"))
    install(root, tmp_path, P.raw_package([
        header(P.SECTION_PACKAGE_HEADER, "nl"),
        files(E("/x\n", mode=0o40755), E("/x\n/etc", mode=0o40755), E("/x\n/etc/passwd", b"mine"))]))
    open(root.p("/var/deinstall/nl"), "w").close()
    root.installer()
    assert root.read("/etc/passwd") == "root:x:0:0\n"


def test_members_of_a_bundle_whose_name_holds_a_blank_stay_installed(root, tmp_path):
    # Another package, so that the run below does not find an empty router.
    install(root, tmp_path, plain_package("other", "/other"))
    install(root, tmp_path, P.raw_package([
        header(P.SECTION_BUNDLE_HEADER, "my set"),
        header(P.SECTION_PACKAGE_HEADER, "member"), files(E("/member", b"m"))]))
    installed = root.installed()
    root.installer()
    assert root.installed() == installed


@pytest.mark.parametrize("conflict", ["old tool", "", "tab\tname"])
def test_a_package_whose_conflicts_name_no_possible_package_stays_as_installed(
        root, tmp_path, conflict):
    install(root, tmp_path, plain_package("other", "/other"))
    install(root, tmp_path, P.raw_package([
        header(P.SECTION_PACKAGE_HEADER, "tool"),
        P.raw_section(P.SECTION_CONFLICTS, P.requirement_list([(conflict, "1.0", None)])),
        files(E("/tool", b"t"))]))
    # Refused as damaged: such a name cannot be stored in the record.
    assert root.postlog_lines() == ["ERROR: installation of tool-1.0 failed: broken package"]
    installed = root.installed()
    root.installer()
    assert root.installed() == installed == ["other"]


def test_files_placed_through_links_are_owned_and_removed_where_they_are(root, tmp_path):
    # "own" reaches /opt through a link it places itself; "user" reaches
    # /srv/lib through a link of "base". Collecting the real directories
    # keeps both files, and removing each package removes its file.
    os.makedirs(root.p("/opt"))
    install(root, tmp_path, P.raw_package([
        header(P.SECTION_PACKAGE_HEADER, "base"),
        files(E("/srv", mode=0o40755), E("/srv/lib", mode=0o40755), E("/sl", b"srv/lib", mode=LINK))]))
    install(root, tmp_path, P.raw_package([
        header(P.SECTION_PACKAGE_HEADER, "own"),
        files(E("/l", b"/opt", mode=LINK), E("/l/x", b"x"))]))
    install(root, tmp_path, P.raw_package([
        header(P.SECTION_PACKAGE_HEADER, "user"),
        files(E("/sl/libu.so", b"u"))]))
    assert root.read("/var/pdb/own/files") == "l\nopt/x\n"
    root.installer("--filegc", "/opt", "/srv/lib")
    assert root.read("/opt/x") == "x"
    assert root.read("/srv/lib/libu.so") == "u"
    for name in ("own", "user"):
        open(root.p("/var/deinstall/" + name), "w").close()
    root.installer()
    assert not os.path.lexists(root.p("/opt/x"))
    assert not os.path.lexists(root.p("/l"))
    assert not os.path.lexists(root.p("/srv/lib/libu.so"))
    assert os.path.islink(root.p("/sl"))
