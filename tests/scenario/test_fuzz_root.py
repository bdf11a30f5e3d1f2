"""The scratch root of the fuzz targets that run installer code (fuzz_root.h):
they install arbitrary bytes inside a root of their own and refuse to run
where they cannot make one. Skipped unless built with TESS_FUZZ."""
import os
import subprocess
import uuid

import pytest

import pkgtools as P
from conftest import BUILD_DIR, needs_root, run

FUZZ_TARGETS = ("fuzz_install", "fuzz_database_record", "fuzz_pending_header")


def fuzz_target(name):
    path = os.path.join(BUILD_DIR, "tests", "fuzz", name)
    if not os.path.exists(path):
        pytest.skip(f"{name} is built only with TESS_FUZZ")
    return path


@needs_root()
def test_installing_hostile_packages_reaches_nothing_outside(tmp_path):
    target = fuzz_target("fuzz_install")
    probe = "fuzz_root_probe_" + uuid.uuid4().hex[:8]
    outside = tmp_path / "outside"
    outside.mkdir()
    machine_paths = ["/etc/" + probe, "/" + probe, "/var/pdb"]
    leftovers_before = {p for p in machine_paths if os.path.lexists(p)}
    inputs = {
        # Absolute and climbing names, each of which would land in the machine's /etc.
        "names": [P.FileEntry("/etc/" + probe, b"x"), P.FileEntry("../../../etc/" + probe, b"x")],
        # A link to a directory of the machine, then an entry through it.
        "link": [P.FileEntry("/" + probe, str(outside).encode(), mode=0o120777),
                 P.FileEntry("/" + probe + "/through", b"x")],
        # The machine's root as a directory entry, then a file in it.
        "root": [P.FileEntry("/", mode=0o40755), P.FileEntry("/" + probe, b"x")],
    }
    files = []
    for name, entries in inputs.items():
        # Unrecorded: placed without a database directory, so nothing stops at /var/pdb.
        (tmp_path / name).write_bytes(P.raw("probe", entries, unrecorded=True))
        files.append(str(tmp_path / name))
    try:
        status, _, err = run([target, "-runs=1", *files], timeout=120)
        assert status == 0, err
        assert list(outside.iterdir()) == []
        for path in machine_paths:
            assert os.path.lexists(path) == (path in leftovers_before), path
    finally:
        for path in ("/etc/" + probe, "/" + probe):
            if path not in leftovers_before and os.path.lexists(path):
                os.unlink(path)


@pytest.mark.parametrize("name", FUZZ_TARGETS)
@needs_root()
def test_refuses_to_run_where_it_cannot_change_root(name):
    target = fuzz_target(name)
    # Without root, chroot is impossible: the target must stop before any input runs.
    proc = subprocess.run(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                           target, "-runs=1"], capture_output=True, timeout=120)
    err = proc.stderr.decode("latin-1")
    assert proc.returncode != 0
    assert "refusing to run" in err
    assert "Done" not in err
