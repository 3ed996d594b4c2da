"""The package's build backend (PEP 517 and PEP 660), standard library only.

pip needs nothing else to build the package, so `pip wheel --no-index`
works offline, with or without build isolation, in a plain virtual
environment. The wheel holds the package and, when one is put beside it (or
named with `-C library=PATH`), the library: the wheel is then tagged for the
library's platform (read from the file, so a Windows wheel can be made from
the release zip's DLL anywhere) and the library goes in stripped. Nothing is
written into the source tree.
"""
from __future__ import annotations

import base64
import hashlib
import io
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import zipfile
from typing import Any, Dict, List, Mapping, Optional, Tuple

if sys.version_info >= (3, 11):
    import tomllib
else:  # pyproject.toml asks for tomli there
    import tomli as tomllib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PACKAGE = "vxbridge"
# The library as the package loads it.
LIBRARY_NAMES = ("libvxbridge.so.1", "vxbridge.dll")
# Platform tags by machine: ELF e_machine, PE Machine.
ELF_MACHINES = {3: "linux_i686", 62: "linux_x86_64", 183: "linux_aarch64"}
PE_MACHINES = {0x14C: "win32", 0x8664: "win_amd64", 0xAA64: "win_arm64"}
# strip for a PE file of each machine when $STRIP is not set.
PE_STRIP = {"win32": "i686-w64-mingw32-strip", "win_amd64": "x86_64-w64-mingw32-strip"}

Files = List[Tuple[str, bytes]]


def _project() -> Dict[str, Any]:
    with open(os.path.join(ROOT, "pyproject.toml"), "rb") as f:
        project: Dict[str, Any] = tomllib.load(f)["project"]
    with open(os.path.join(ROOT, PACKAGE, "__init__.py"), encoding="utf-8") as f:
        found = re.search(r'^__version__ = "([^"]+)"$', f.read(), re.M)
    if not found:
        raise RuntimeError("%s/__init__.py has no __version__" % PACKAGE)
    project["version"] = found.group(1)
    return project


def _read(*parts: str) -> bytes:
    with open(os.path.join(ROOT, *parts), "rb") as f:
        return f.read()


def _license() -> Optional[bytes]:
    # The project's LICENSE: beside pyproject.toml where it was installed,
    # two levels up in the source tree and in the release zip.
    for place in (os.path.join(ROOT, "LICENSE"), os.path.join(ROOT, "..", "..", "LICENSE")):
        if os.path.isfile(place):
            with open(place, "rb") as f:
                return f.read()
    return None


def _metadata(project: Dict[str, Any]) -> bytes:
    lines = ["Metadata-Version: 2.1", "Name: " + project["name"], "Version: " + project["version"],
             "Summary: " + project["description"],
             "Author: " + ", ".join(a["name"] for a in project.get("authors", [])),
             "License: " + project["license"]["text"], "Keywords: " + ",".join(project.get("keywords", [])),
             "Requires-Python: " + project["requires-python"]]
    lines += ["Classifier: " + c for c in project.get("classifiers", [])]
    lines += ["Project-URL: %s, %s" % item for item in project.get("urls", {}).items()]
    lines.append("Description-Content-Type: text/markdown")
    return ("\n".join(lines) + "\n\n").encode("utf-8") + _read(project["readme"])


def _library(settings: Optional[Mapping[str, Any]]) -> Optional[str]:
    """The library to bundle: -C library=PATH, else one beside the package."""
    named = (settings or {}).get("library")
    if named:
        return os.path.abspath(str(named))
    beside = [os.path.join(ROOT, PACKAGE, n) for n in LIBRARY_NAMES
              if os.path.isfile(os.path.join(ROOT, PACKAGE, n))]
    if len(beside) > 1:
        raise RuntimeError("both %s are beside the package: keep the one to bundle" % " and ".join(beside))
    return beside[0] if beside else None


def _platform(data: bytes, path: str) -> Tuple[str, str]:
    """The wheel's platform tag for a library, and its name in the package."""
    tag = None
    if data[:4] == b"\x7fELF" and data[5] in (1, 2):
        tag = ELF_MACHINES.get(int.from_bytes(data[18:20], "little" if data[5] == 1 else "big"))
    elif data[:2] == b"MZ":
        header = int.from_bytes(data[0x3C:0x40], "little")
        tag = PE_MACHINES.get(int.from_bytes(data[header + 4:header + 6], "little"))
    if tag is None:
        raise RuntimeError("%s is neither a Linux nor a Windows library this package knows" % path)
    return tag, LIBRARY_NAMES[tag.startswith("win")]


def _stripped(path: str, data: bytes, tag: str) -> bytes:
    """The library without debug information (the build's copy has it)."""
    if b".debug_" not in data:
        return data
    tool = os.environ.get("STRIP") or PE_STRIP.get(tag) or "strip"
    if shutil.which(tool) is None:
        raise RuntimeError("%s carries debug information and %s is not installed: strip the library first, "
                           "or name a strip program for it in $STRIP" % (path, tool))
    with tempfile.TemporaryDirectory() as scratch:
        copy = os.path.join(scratch, "library")
        with open(copy, "wb") as f:
            f.write(data)
        subprocess.run([tool, "--strip-unneeded", copy], check=True)
        with open(copy, "rb") as f:
            return f.read()


def _record_line(name: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode("ascii")
    return "%s,sha256=%s,%d" % (name, digest, len(data))


def _write_wheel(directory: str, project: Dict[str, Any], files: Files, tag: str) -> str:
    name, version = project["name"], project["version"]
    info = "%s-%s.dist-info" % (name, version)
    wheel = "Wheel-Version: 1.0\nGenerator: vxbridge_build\nRoot-Is-Purelib: %s\nTag: py3-none-%s\n" % (
        "true" if tag == "any" else "false", tag)
    files = files + [(info + "/METADATA", _metadata(project)), (info + "/WHEEL", wheel.encode("ascii"))]
    license_text = _license()
    if license_text is not None:
        files.append((info + "/LICENSE", license_text))
    record = "".join(_record_line(n, d) + "\n" for n, d in files) + info + "/RECORD,,\n"
    files.append((info + "/RECORD", record.encode("utf-8")))
    filename = "%s-%s-py3-none-%s.whl" % (name, version, tag)
    with zipfile.ZipFile(os.path.join(directory, filename), "w", zipfile.ZIP_DEFLATED) as archive:
        for arcname, data in files:
            entry = zipfile.ZipInfo(arcname, date_time=(1980, 1, 1, 0, 0, 0))  # the same bytes every build
            entry.external_attr = 0o644 << 16
            archive.writestr(entry, data, zipfile.ZIP_DEFLATED)
    return filename


def _sources() -> Files:
    names = sorted(n for n in os.listdir(os.path.join(ROOT, PACKAGE)) if n.endswith(".py") or n == "py.typed")
    return [("%s/%s" % (PACKAGE, n), _read(PACKAGE, n)) for n in names]


# ---- the hooks ------------------------------------------------------------------

def get_requires_for_build_wheel(config_settings: Optional[Mapping[str, Any]] = None) -> List[str]:
    return []


def get_requires_for_build_sdist(config_settings: Optional[Mapping[str, Any]] = None) -> List[str]:
    return []


def get_requires_for_build_editable(config_settings: Optional[Mapping[str, Any]] = None) -> List[str]:
    return []


def build_wheel(wheel_directory: str, config_settings: Optional[Mapping[str, Any]] = None,
                metadata_directory: Optional[str] = None) -> str:
    files, tag = _sources(), "any"
    library = _library(config_settings)
    if library is not None:
        data = _read(library)
        tag, name = _platform(data, library)
        files.append(("%s/%s" % (PACKAGE, name), _stripped(library, data, tag)))
    return _write_wheel(wheel_directory, _project(), files, tag)


def build_editable(wheel_directory: str, config_settings: Optional[Mapping[str, Any]] = None,
                   metadata_directory: Optional[str] = None) -> str:
    # The source folder on the path: changes show without a reinstall.
    return _write_wheel(wheel_directory, _project(), [(PACKAGE + ".pth", (ROOT + "\n").encode("utf-8"))], "any")


def build_sdist(sdist_directory: str, config_settings: Optional[Mapping[str, Any]] = None) -> str:
    project = _project()
    base = "%s-%s" % (project["name"], project["version"])
    files = _sources() + [("pyproject.toml", _read("pyproject.toml")), (project["readme"], _read(project["readme"])),
                          ("build_backend/vxbridge_build.py", _read("build_backend", "vxbridge_build.py")),
                          ("PKG-INFO", _metadata(project))]
    license_text = _license()
    if license_text is not None:
        files.append(("LICENSE", license_text))
    filename = base + ".tar.gz"
    with tarfile.open(os.path.join(sdist_directory, filename), "w:gz") as archive:
        for name, data in files:
            entry = tarfile.TarInfo("%s/%s" % (base, name))
            entry.size, entry.mode = len(data), 0o644
            archive.addfile(entry, io.BytesIO(data))
    return filename
