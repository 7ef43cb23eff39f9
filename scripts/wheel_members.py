#!/usr/bin/env python3
"""Extracts chosen members of a wheel on the package index without
downloading the rest: a wheel is a zip file, so its central directory and the
wanted members are read with HTTP range requests (the index serves them).
Every extracted file is checked against the sha256 the wheel's RECORD gives.

usage: wheel_members.py URL_OR_FILE DEST PATTERN...
       wheel_members.py --find-url PROJECT VERSION
PATTERN is an fnmatch pattern on member names ("torch/include/*"). Files
already in DEST with the recorded size are left alone. Prints what it fetched.
"""
import base64
import fnmatch
import hashlib
import html.parser
import os
import re
import struct
import sys
import urllib.parse
import urllib.request
import zipfile
import zlib

CHUNK = 8 << 20  # one range request fetches at least this much
GAP = 4 << 20  # members closer than this are fetched in one request


class HttpRange:
    """A read-only seekable file over HTTP range requests (read-ahead CHUNK)."""

    def __init__(self, url):
        self.url, self.pos = url, 0
        with urllib.request.urlopen(urllib.request.Request(url, method="HEAD")) as r:
            self.size = int(r.headers["Content-Length"])
        self.buf_start, self.buf = 0, b""
        self.fetched = 0

    def get(self, start, end):  # bytes [start, end)
        req = urllib.request.Request(self.url, headers={"Range": f"bytes={start}-{end - 1}"})
        with urllib.request.urlopen(req) as r:
            if r.status != 206:
                raise OSError(f"{self.url}: the server ignores range requests")
            data = r.read()
        if len(data) != end - start:
            raise OSError(f"{self.url}: short read ({len(data)} of {end - start} bytes)")
        self.fetched += len(data)
        return data

    def seekable(self):
        return True

    def tell(self):
        return self.pos

    def seek(self, offset, whence=0):
        self.pos = offset if whence == 0 else self.pos + offset if whence == 1 else self.size + offset
        return self.pos

    def read(self, n=-1):
        if n is None or n < 0:
            n = self.size - self.pos
        n = max(0, min(n, self.size - self.pos))
        end = self.pos + n
        if not (self.buf_start <= self.pos and end <= self.buf_start + len(self.buf)):
            start = self.pos
            self.buf_start, self.buf = start, self.get(start, min(self.size, max(end, start + CHUNK)))
        out = self.buf[self.pos - self.buf_start:end - self.buf_start]
        self.pos = end
        return out


class Links(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.links = []

    def handle_starttag(self, tag, attrs):
        if tag == "a":
            self.links += [v for k, v in attrs if k == "href"]


def find_url(project, version):
    """URL of the manylinux x86_64 wheel, for this interpreter's CPython tag
    when the wheel has one."""
    index = os.environ.get("PIP_INDEX_URL", "https://pypi.org/simple").rstrip("/")
    page = urllib.request.urlopen(f"{index}/{project}/").read().decode()
    parser = Links()
    parser.feed(page)
    tag = f"cp{sys.version_info.major}{sys.version_info.minor}"
    dist = re.escape(re.sub(r"[-_.]+", "_", project))
    name = re.compile(rf"/{dist}-{re.escape(version)}-(?:{tag}-{tag}|py3-none)-[^/]*manylinux[^/]*x86_64\.whl$")
    for link in parser.links:
        url = urllib.parse.urljoin(f"{index}/{project}/", link.split("#")[0])
        if name.search(url):
            return url
    raise SystemExit(f"no {project} {version} wheel for {tag} manylinux x86_64 on {index}")


def record_hashes(z):
    record = next(n for n in z.namelist() if n.endswith(".dist-info/RECORD"))
    hashes = {}
    for line in z.read(record).decode().splitlines():
        parts = line.rsplit(",", 2)
        if len(parts) == 3 and parts[1].startswith("sha256="):
            hashes[parts[0]] = parts[1][len("sha256="):]
    return hashes


def extract(source, dest, patterns):
    remote = re.match(r"https?://", source) is not None
    raw = HttpRange(source) if remote else open(source, "rb")
    z = zipfile.ZipFile(raw)
    hashes = record_hashes(z)
    wanted = [i for i in z.infolist()
              if not i.is_dir() and any(fnmatch.fnmatchcase(i.filename, p) for p in patterns)]
    if not wanted:
        raise SystemExit(f"no member of {source} matches {patterns}")
    todo = []
    for info in wanted:
        path = os.path.join(dest, info.filename)
        if not (os.path.isfile(path) and os.path.getsize(path) == info.file_size):
            todo.append(info)
    todo.sort(key=lambda i: i.header_offset)
    # Neighbouring members come in one request; each group is read once.
    groups = []
    for info in todo:
        start = info.header_offset
        end = start + 30 + len(info.filename.encode()) + 1024 + info.compress_size  # local extra is small
        if groups and start - groups[-1][1] < GAP:
            groups[-1][1] = max(groups[-1][1], end)
            groups[-1][2].append(info)
        else:
            groups.append([start, end, [info]])
    for start, end, infos in groups:
        end = min(end, raw.size if remote else os.path.getsize(source))
        if remote:
            blob = raw.get(start, end)
        else:
            raw.seek(start)
            blob = raw.read(end - start)
        for info in infos:
            off = info.header_offset - start
            sig, *_rest = struct.unpack_from("<4s26x", blob, off)
            if sig != b"PK\x03\x04":
                raise SystemExit(f"{info.filename}: bad local header")
            name_len, extra_len = struct.unpack_from("<HH", blob, off + 26)
            data_at = off + 30 + name_len + extra_len
            data = blob[data_at:data_at + info.compress_size]
            if info.compress_type == zipfile.ZIP_DEFLATED:
                data = zlib.decompressobj(-15).decompress(data)
            elif info.compress_type != zipfile.ZIP_STORED:
                raise SystemExit(f"{info.filename}: compression {info.compress_type} not handled")
            digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
            if len(data) != info.file_size or hashes.get(info.filename, digest) != digest:
                raise SystemExit(f"{info.filename}: content does not match the wheel's RECORD")
            path = os.path.join(dest, info.filename)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path + ".part", "wb") as f:
                f.write(data)
            mode = (info.external_attr >> 16) & 0o777
            os.chmod(path + ".part", mode or 0o644)
            os.replace(path + ".part", path)
    fetched = raw.fetched if remote else sum(e - s for s, e, _ in groups)
    print(f"{len(todo)} of {len(wanted)} files extracted ({fetched / 1e6:.0f} MB read)")


def main(argv):
    if len(argv) == 3 and argv[0] == "--find-url":
        print(find_url(argv[1], argv[2]))
    elif len(argv) >= 3:
        extract(argv[0], argv[1], argv[2:])
    else:
        raise SystemExit(__doc__)


if __name__ == "__main__":
    main(sys.argv[1:])
