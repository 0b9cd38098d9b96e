#!/usr/bin/python3
"""A file system that passes every call through to a folder and has no
unnamed files: a FUSE file system without the tmpfile call, for which the
kernel answers O_TMPFILE with EOPNOTSUPP, as FAT's and other drivers do.
Usage: passthrough_fs.py FOLDER MOUNTPOINT (runs until unmounted)."""
import os
import sys

import fusepy


class Passthrough(fusepy.Operations):
    def __init__(self, root):
        self.root = root

    def _path(self, path):
        return os.path.join(self.root, path.lstrip("/"))

    def getattr(self, path, fh=None):
        st = os.lstat(self._path(path))
        return {key: getattr(st, key) for key in ("st_mode", "st_nlink", "st_size", "st_uid",
                                                  "st_gid", "st_atime", "st_mtime", "st_ctime")}

    def statfs(self, path):
        st = os.statvfs(self._path(path))
        return {key: getattr(st, key) for key in ("f_bsize", "f_frsize", "f_blocks", "f_bfree",
                                                  "f_bavail", "f_files", "f_ffree", "f_namemax")}

    def readdir(self, path, fh):
        return [".", ".."] + os.listdir(self._path(path))

    def readlink(self, path):
        return os.readlink(self._path(path))

    def open(self, path, flags):
        return os.open(self._path(path), flags)

    def create(self, path, mode, fi=None):
        return os.open(self._path(path), os.O_RDWR | os.O_CREAT | os.O_EXCL, mode)

    def read(self, path, size, offset, fh):
        return os.pread(fh, size, offset)

    def write(self, path, data, offset, fh):
        return os.pwrite(fh, data, offset)

    def release(self, path, fh):
        os.close(fh)

    def unlink(self, path):
        os.unlink(self._path(path))

    def mkdir(self, path, mode):
        os.mkdir(self._path(path), mode)


if __name__ == "__main__":
    fusepy.FUSE(Passthrough(sys.argv[1]), sys.argv[2], foreground=True, nothreads=True)
