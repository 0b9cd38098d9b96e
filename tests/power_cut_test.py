#!/usr/bin/python3
"""Power cuts on a real ext4, at every point an update run reaches its disk.

The updater runs once on an ext4 whose disk is a loop device over a file
served by a small FUSE file system of this script's own. Without a writeback
cache FUSE passes each of ext4's block writes through to us as a write, and
each cache flush as an fsync, in order; we keep them as a write log. Every
state a power cut could leave the disk in is then rebuilt from the image the
run started from: the writes up to each flush, and half of the writes between
two flushes. Each such image is mounted (ext4 replays its journal, as after a
reboot) and checked:

  1. nothing is lost: every old file is in the installation or the backup,
     every staged file in the installation or staging;
  2. the outcome is knowable: an installation that is no longer the old
     version without a journal to finish it has a marker that says so, and
     a marker the host would read (no journal in force) matches the
     installation;
  3. where no such marker tells the outcome, the same command, run again,
     ends with one whole version that matches its new marker, and again
     loses nothing. Temporary files of a move across file systems left in
     the installation are reported as a warning; where the undo gives files
     back across file systems, any left in the installation or staging fail.

Usage: power_cut_test.py UPDATER SCRATCH_ROOT SCENARIO
Scenarios: update, rollback, resumed, staging_on_another_file_system,
second_run_while_held (the same command started again while the first run
is in its swap, and refused), and undo_staging_on_another_file_system (a
rollback whose staging is on the second disk, so that every staged file it
gives back is a move across file systems).
Exits 0 when every cut point passed, 1 on a failure, 77 (with the reason)
where it cannot run. The script serves its own disks by running itself as
"power_cut_test.py --serve MOUNTPOINT LOG IMAGE..." (one child process).
"""

import ctypes
import fcntl
import hashlib
import importlib
import json
import os
import random
import re
import shutil
import signal
import stat
import struct
import subprocess
import sys
import time

kSkip = 77
kImageBytes = 16 << 20
kKey = "key-42"
kMarkerResults = ("success", "rollback")
# The version each outcome leaves installed.
kVersionOf = {"success": "new", "rollback": "old"}
kShownPerKind = 3

# What a cut point can go wrong with, as the summary words it. Temporary
# files left behind are reported but do not fail the test: they lose
# nothing.
kKinds = (("lost", "lost a file", True),
          ("unknowable", "left an outcome that cannot be known", True),
          ("rerun", "did not end as one whole version after a rerun", True),
          ("mount", "did not mount", True),
          ("log", "were not rebuilt as recorded", True),
          ("litter", "left temporary files in the installation after a rerun", False),
          # Where the undo gives files back across file systems, the journal
          # names their temporary copies, and a rerun must clear them.
          ("leftover", "left temporary files in the installation or staging after a rerun",
           True))

# One record per event the disks receive: kind, disk, offset, length, then
# the bytes for a write.
kRecord = struct.Struct("<BBQI")
kWrite, kFsync, kFlush = 1, 2, 3


# The logging file system, run as a child process of the test.
def serve(mountpoint, log_path, images):
    import errno

    import fusepy

    class DiskLogger(fusepy.Operations):
        use_ns = True

        def __init__(self):
            self.names = [os.path.basename(image) for image in images]
            self.fds = [os.open(image, os.O_RDWR) for image in images]
            self.log = open(log_path, "wb")

        def disk(self, path):
            name = path.lstrip("/")
            if name not in self.names:
                raise fusepy.FuseOSError(errno.ENOENT)
            return self.names.index(name)

        def record(self, kind, disk, offset=0, data=b""):
            self.log.write(kRecord.pack(kind, disk, offset, len(data)))
            self.log.write(data)

        def getattr(self, path, fh=None):
            if path == "/":
                return {"st_mode": stat.S_IFDIR | 0o755, "st_nlink": 2}
            size = os.fstat(self.fds[self.disk(path)]).st_size
            return {"st_mode": stat.S_IFREG | 0o600, "st_nlink": 1, "st_size": size}

        def readdir(self, path, fh):
            return [".", ".."] + self.names

        def open(self, path, flags):
            self.disk(path)
            return 0

        def read(self, path, size, offset, fh):
            return os.pread(self.fds[self.disk(path)], size, offset)

        def write(self, path, data, offset, fh):
            disk = self.disk(path)
            os.pwrite(self.fds[disk], data, offset)
            self.record(kWrite, disk, offset, data)
            return len(data)

        def fsync(self, path, datasync, fh):
            self.record(kFsync, self.disk(path))
            return 0

        def flush(self, path, fh):
            self.record(kFlush, self.disk(path))
            return 0

        def destroy(self, path):
            self.log.close()

    # One thread: the log's order is the order in which requests were served.
    fusepy.FUSE(DiskLogger(), mountpoint, foreground=True, nothreads=True, big_writes=True,
                fsname="vexo-disk-log")


class Skip(Exception):
    pass


def run(*command, check=True, **kwargs):
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True, **kwargs)
    if check and result.returncode != 0:
        raise RuntimeError("%s: status %d: %s" % (" ".join(command), result.returncode,
                                                  result.stdout.strip()))
    return result


libc = ctypes.CDLL(None, use_errno=True)
kDetach = 2  # MNT_DETACH
kFlushBuffers = 0x1261  # BLKFLSBUF
kSetParentDeathSignal = 1  # PR_SET_PDEATHSIG


def system_call(result, name, *args):
    if result != 0:
        error = ctypes.get_errno()
        raise RuntimeError("%s(%s): %s" % (name, ", ".join(args), os.strerror(error)))


# Mounts and loop devices, each undone on every way out, last made first.
# Mounting is a system call rather than mount(8): several hundred images
# are mounted per scenario.
class Resources:
    def __init__(self):
        self.undo = []

    def loop(self, image):
        result = run("losetup", "-f", "--show", image, check=False)
        if result.returncode != 0:
            raise RuntimeError("losetup -f --show %s: %s" % (image, result.stdout.strip()))
        device = result.stdout.strip()
        self.undo.append(("loop", device))
        return device

    def mount(self, device, mountpoint):
        # The device may hold blocks of the image it last read: drop them.
        fd = os.open(device, os.O_RDONLY)
        try:
            fcntl.ioctl(fd, kFlushBuffers, 0)
        finally:
            os.close(fd)
        system_call(libc.mount(device.encode(), mountpoint.encode(), b"ext4", 0, None),
                    "mount", device, mountpoint)
        self.undo.append(("mount", mountpoint))

    def release(self, kind, target):
        if kind == "mount":
            # Something still starting in it (the relaunched application) may
            # hold it for a moment.
            for attempt in range(50):
                if libc.umount2(target.encode(), 0) == 0:
                    return
                time.sleep(0.05)
            system_call(libc.umount2(target.encode(), kDetach), "umount2", target, "MNT_DETACH")
        elif kind == "loop":
            for attempt in range(50):
                if run("losetup", "-d", target, check=False).returncode == 0:
                    break
                time.sleep(0.05)
            # While anyone else has the device open (another test's losetup
            # looking for a free one, for a moment), the detach only takes
            # effect on the last close; until then it holds its image.
            attached = "/sys/block/%s/loop" % os.path.basename(target)
            deadline = time.monotonic() + 10
            while os.path.exists(attached) and time.monotonic() < deadline:
                time.sleep(0.02)
        elif kind == "daemon":
            process, mountpoint = target
            # Busy while a loop device still reads from it.
            deadline = time.monotonic() + 10
            while run("umount", mountpoint, check=False).returncode != 0 and \
                    os.path.ismount(mountpoint) and time.monotonic() < deadline:
                time.sleep(0.05)
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
            run("umount", "-l", mountpoint, check=False)

    def pop(self, count=1):
        for _ in range(count):
            self.release(*self.undo.pop())

    def release_all(self):
        while self.undo:
            try:
                self.pop()
            except Exception as error:  # Go on undoing the rest.
                print("cleanup: %s" % error, file=sys.stderr)


def clear_leftovers(*roots):
    """Undoes mounts and loop devices a killed earlier run left under roots."""
    prefixes = tuple(os.path.realpath(root) + "/" for root in roots)

    def mounts(fuse):
        with open("/proc/self/mountinfo") as mountinfo:
            for line in mountinfo:
                fields = line.split()
                file_system = fields[fields.index("-") + 1]
                if (fields[4] + "/").startswith(prefixes) and \
                        file_system.startswith("fuse") == fuse:
                    yield fields[4]

    # The ext4 mounts, then their loop devices, then the logger they read.
    for point in list(mounts(fuse=False)):
        run("umount", "-l", point, check=False)
    listing = run("losetup", "-l", "-n", "-O", "NAME,BACK-FILE", check=False).stdout
    for line in listing.splitlines():
        fields = line.split(None, 1)
        if len(fields) == 2 and fields[1].strip().startswith(prefixes):
            run("losetup", "-d", fields[0], check=False)
    for point in list(mounts(fuse=True)):
        run("umount", "-l", point, check=False)


# The two versions: files that change, files only in the old version, and
# files that arrive (some in folders the old version lacks); a few KiB each.
def content(version, relative, size):
    unit = ("%s %s\n" % (version, relative)).encode()
    return (unit * (size // len(unit) + 1))[:size]


def make_versions(changed, old_only, added):
    rng = random.Random(42)
    folders = ["bin", "lib", "lib/plugins", "lib/plugins/audio", "share/maps/north",
               "share/maps/south", "share/text", "etc"]
    new_folders = ["lib/plugins/video", "share/maps/east/deep"]
    old, staged = {}, {}
    for i in range(changed + old_only + added):
        if i < changed:
            kind, folder = "changed", folders[i % len(folders)]
        elif i < changed + old_only:
            kind, folder = "old-only", folders[i % len(folders)]
        else:
            kind = "added"
            folder = new_folders[i % 2] if i % 3 else folders[i % len(folders)]
        relative = "%s/%s-%03d.dat" % (folder, kind, i)
        if kind != "added":
            old[relative] = content("1.0.0", relative, rng.randint(500, 6000))
        if kind != "old-only":
            staged[relative] = content("2.0.0", relative, rng.randint(500, 6000))
    new = {relative: data for relative, data in old.items() if relative not in staged}
    new.update(staged)
    return old, staged, new


def write_tree(root, files):
    for relative, data in files.items():
        path = os.path.join(root, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as out:
            out.write(data)


def listing_order(root, relative=""):
    """The files under root in the order the updater's walk finds them: the
    system's listing order, each folder's contents right after it."""
    order = []
    for entry in os.scandir(os.path.join(root, relative)):
        path = os.path.join(relative, entry.name)
        if entry.is_dir(follow_symlinks=False):
            order += listing_order(root, path)
        else:
            order.append(path)
    return order


kTemporary = re.compile(r"\.vexo-[A-Za-z0-9]{6}$")


def read_tree(root):
    """The regular files under root by relative path; links and others as None."""
    files = {}
    if not os.path.isdir(root):
        return files
    for folder, dirs, names in os.walk(root):
        for name in names:
            path = os.path.join(folder, name)
            relative = os.path.relpath(path, root)
            if os.path.islink(path) or not os.path.isfile(path):
                files[relative] = None
                continue
            with open(path, "rb") as f:
                files[relative] = f.read()
    return files


def read_file(path):
    """The file's bytes, or None where there is no file."""
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return None


def journal_in_force(text):
    """True when the journal would have a run finish the update: it is
    complete up to its first state. A journal cut short counts as none."""
    if text is None:
        return False
    lines = text.split(b"\n")
    if not lines or lines[0] != b"vexo-updater update journal":
        return False
    heads = [i for i, line in enumerate(lines)
             if line in (b"files:", b"stamped files:", b"listed files:")]
    if not heads:
        return False
    rest = lines[heads[0] + 1:]
    if b"" not in rest[:-1]:
        return False
    after = rest[rest.index(b"") + 1:]
    return len(after) > 1 and after[0] == b"state: moving staged files in"


def marker_result(text):
    """The marker's result, or what keeps it from telling one."""
    if text is None:
        return "absent"
    try:
        marker = json.loads(text)
    except ValueError:
        return "unreadable (%r)" % text[:40]
    if not isinstance(marker, dict) or marker.get("idempotencyKey") != kKey:
        return "not this run's: %r" % text[:80]
    return marker.get("result")


class Scenario:
    def __init__(self, name, updater, scratch):
        self.name = name
        self.updater = os.path.realpath(updater)
        self.scratch = scratch
        # The images live in memory; the folder is named after the scratch
        # root, so that builds side by side never share one.
        tag = hashlib.sha1(os.path.realpath(scratch).encode()).hexdigest()[:12]
        self.shm = "/dev/shm/vexo-power-cut-%s" % tag
        self.mnt = os.path.join(scratch, "mnt")
        self.mnt2 = os.path.join(scratch, "mnt2")
        self.fuse = os.path.join(scratch, "fuse")
        self.two_disks = name in ("staging_on_another_file_system",
                                  "undo_staging_on_another_file_system")
        # The swap fails at an immutable staged file: the run rolls back, and
        # so does every rerun, the file being still there.
        self.rolls_back = name in ("rollback", "undo_staging_on_another_file_system")
        self.expected = "rollback" if self.rolls_back else "success"
        # Across file systems each move is flushed on its own, three or four
        # flushes a file: a smaller tree keeps the cut points few.
        self.old, self.staged, self.new = make_versions(
            *((18, 6, 6) if self.two_disks else (60, 20, 20)))
        self.install = os.path.join(self.mnt, "app")
        self.staging = os.path.join(self.mnt2 if self.two_disks else self.mnt, "staging")
        self.backup = os.path.join(self.mnt, "backup")
        self.journal = self.backup + ".pending"
        self.marker = os.path.join(self.mnt, "applied.json")
        self.log = os.path.join(self.mnt, "updater.log")
        self.resources = Resources()

    def disks(self):
        return ["disk0.img", "disk1.img"] if self.two_disks else ["disk0.img"]

    def updater_command(self, extra_env=None):
        env = {k: v for k, v in os.environ.items() if not k.startswith("VEXO_TEST_")}
        env.update(extra_env or {})
        command = [self.updater, "--install-dir", self.install, "--staging-dir", self.staging,
                   "--backup-dir", self.backup, "--log", self.log, "--applied-marker",
                   self.marker, "--idempotency-key", kKey, "--from-version", "1.0.0",
                   "--to-version", "2.0.0", "--vexo-pid", "4000000000"]
        return command, dict(env=env, cwd="/", stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, text=True)

    def updater_run(self, extra_env=None):
        command, options = self.updater_command(extra_env)
        return subprocess.run(command, timeout=120, **options)

    def run_with_a_second_run(self):
        """The recorded run, with the same command started again while the
        first is in the middle of its swap: the second must be refused
        (status 2) before it touches anything, and the first go on."""
        pause = os.path.join(self.shm, "paused")
        at = len(self.old) + len(self.staged) // 2
        command, options = self.updater_command({"VEXO_TEST_PAUSE_AT": str(at),
                                                 "VEXO_TEST_PAUSE_FILE": pause})
        first = subprocess.Popen(command, **options)
        try:
            deadline = time.monotonic() + 30
            while not os.path.exists(pause):
                if first.poll() is not None or time.monotonic() > deadline:
                    raise RuntimeError("the first run did not pause at %d" % at)
                time.sleep(0.01)
            second = self.updater_run()
            if second.returncode != 2:
                raise RuntimeError("the second run, started while the first held the "
                                   "installation, ended with status %d" % second.returncode)
        finally:
            if os.path.exists(pause):
                os.remove(pause)
        output, _ = first.communicate(timeout=120)
        return subprocess.CompletedProcess(command, first.returncode, output)

    # The disks are always mounted at the run's own places: the journal names
    # them.
    def attach(self, images):
        return [self.resources.loop(image) for image in images]

    def mount(self, devices):
        mounted = 0
        try:
            for device, mountpoint in zip(devices, (self.mnt, self.mnt2)):
                self.resources.mount(device, mountpoint)
                mounted += 1
        except RuntimeError:
            self.resources.pop(mounted)
            raise

    def unmount(self):
        self.resources.pop(len(self.disks()))

    def mount_images(self, images):
        self.mount(self.attach(images))

    def unmount_images(self):
        self.resources.pop(2 * len(self.disks()))

    def prepare_base(self):
        """The disks before the recorded run: the old version installed, the
        new one staged, and what the scenario needs besides."""
        bases = [os.path.join(self.shm, "base-" + disk) for disk in self.disks()]
        for base in bases:
            with open(base, "wb") as f:
                f.truncate(kImageBytes)
            # Initialised in full now: ext4 would otherwise zero its inode
            # tables from a thread of its own, while the run is recorded.
            run("mkfs.ext4", "-q", "-F", "-b", "4096", "-m", "0", "-J", "size=4",
                "-E", "lazy_itable_init=0,lazy_journal_init=0,nodiscard", base)
        self.mount_images(bases)
        write_tree(self.install, self.old)
        write_tree(self.staging, self.staged)
        if self.rolls_back:
            # A staged file that cannot be moved (an immutable file cannot be
            # renamed), halfway through the moves: the run rolls back, and so
            # does every rerun, after putting back the files moved before it.
            # An immutable installed file would stop the undo as well: the
            # rest of the backup is moved back over it too. With staging on
            # another file system the file is copied in and then cannot be
            # removed: the installation holds its copy, and the undo, finding
            # it still staged, only brings its old version back. Every file
            # moved in before it is given back across file systems, through a
            # copy under the journal's temporary name beside it in staging. A
            # give-back whose copy is not flushed before the installed file
            # goes loses that file; an undo that names its copies afresh
            # instead of as the journal says leaves a cut copy in staging,
            # where the rerun takes it for a newly staged file and refuses.
            order = listing_order(self.staging)
            self.immutable = [r for r in order[len(order) // 2:] if r in self.old][0]
            run("chattr", "+i", os.path.join(self.staging, self.immutable))
        if self.name == "resumed":
            # Killed in the middle of the swap: after the backup's copies and
            # half of the moves.
            kill_at = len(self.old) + len(self.staged) // 2
            result = self.updater_run({"VEXO_TEST_KILL_AT": str(kill_at)})
            if result.returncode != -signal.SIGKILL:
                raise RuntimeError("the run to be resumed was not killed (status %d): %s"
                                   % (result.returncode, result.stdout))
            installed = read_tree(self.install)
            moved = sum(installed.get(r) == d for r, d in self.staged.items())
            if not journal_in_force(read_file(self.journal)) or \
                    not 0 < moved < len(self.staged):
                raise RuntimeError("the kill at %d did not stop the run in its swap (%d of %d "
                                   "moved)" % (kill_at, moved, len(self.staged)))
            print("resumed: the first run was killed with %d of %d staged files moved in"
                  % (moved, len(self.staged)))
        self.unmount_images()
        return bases

    def record(self, bases):
        """Runs the updater once on disks served by the logger; returns the
        event log."""
        served = [os.path.join(self.shm, disk) for disk in self.disks()]
        for base, image in zip(bases, served):
            shutil.copyfile(base, image)
        log_path = os.path.join(self.shm, "events.log")
        # Should the test be killed outright, the logger goes with it; the
        # next run clears the mounts left.
        daemon = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--serve",
                                   self.fuse, log_path] + served,
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                  preexec_fn=lambda: libc.prctl(kSetParentDeathSignal,
                                                                signal.SIGTERM))
        self.resources.undo.append(("daemon", (daemon, self.fuse)))
        deadline = time.monotonic() + 10
        while not os.path.ismount(self.fuse):
            if daemon.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("the logging file system did not start: %s"
                                   % (daemon.stdout.read() if daemon.poll() is not None
                                      else "timed out"))
            time.sleep(0.02)
        self.mount_images([os.path.join(self.fuse, disk) for disk in self.disks()])
        started = time.monotonic()
        if self.name == "second_run_while_held":
            result = self.run_with_a_second_run()
        else:
            result = self.updater_run()
        self.run_seconds = time.monotonic() - started
        self.first_status = result.returncode
        self.first_marker = marker_result(read_file(self.marker))
        self.unmount_images()
        self.resources.pop()  # The daemon: its log is complete once it has exited.
        if daemon.returncode != 0:
            raise RuntimeError("the logging file system failed: %s" % daemon.stdout.read())
        self.served = served
        expected = (0, self.expected)
        if (self.first_status, self.first_marker) != expected:
            raise RuntimeError("the recorded run ended with status %d, marker %s; expected %s"
                               % (self.first_status, self.first_marker, expected))
        events = read_events(log_path)
        writes = sum(kind == kWrite for kind, *_ in events)
        if writes == 0 or writes == len(events):
            raise RuntimeError("the logger saw %d writes and %d flushes"
                               % (writes, len(events) - writes))
        return events

    def read_state(self):
        """What the checks and a rerun look at: the three trees, the journal,
        the marker, and which folders there are (a rerun tells a staging
        folder that is gone from an empty one)."""
        folders = [os.path.join(folder, name) for root in (self.mnt, self.mnt2)
                   for folder, names, files in os.walk(root) for name in names]
        return {"installed": read_tree(self.install), "backup": read_tree(self.backup),
                "staging": read_tree(self.staging), "journal": read_file(self.journal),
                "marker": read_file(self.marker), "folders": sorted(folders)}

    # The checks on one mounted cut image, whose state has been read.
    # Returns (problems, rerun made).
    def check_state(self, when, state):
        problems = []
        self.check_nothing_lost(state, when, problems)
        version = self.version_of(state["installed"])
        result = marker_result(state["marker"])
        if not journal_in_force(state["journal"]):
            if result in kMarkerResults:
                # The outcome is on the disk: a host reads it and does not
                # run the update again. It must be what the installation holds.
                if kVersionOf[result] != version:
                    problems.append(("unknowable", "%s: marker %s but installation is %s"
                                     % (when, result, version)))
                return problems, False
            if version != "old":
                problems.append(("unknowable", "%s: installation is %s, no journal, marker %s"
                                 % (when, version, result)))
        # Leak checking at exit would double the time of each rerun; the other
        # tests run the updater with it.
        asan = os.environ.get("ASAN_OPTIONS", "")
        rerun = self.updater_run({"ASAN_OPTIONS": asan + (":" if asan else "") +
                                  "detect_leaks=0"})
        when_after = when + ", after the rerun"
        before, state = state, self.read_state()
        installed = state["installed"]
        version = self.version_of(installed)
        result = marker_result(state["marker"])
        expected = self.expected
        if self.two_disks and self.rolls_back and journal_in_force(before["journal"]) and \
                b"\nstate: rolling back\n" not in before["journal"] and \
                before["installed"].get(self.immutable) == self.staged[self.immutable]:
            # Cut after the immutable file was copied in, before the undo was
            # recorded: its move is over but for removing its source, so the
            # rerun takes it as moved in and finishes the update instead.
            expected = "success"
        if rerun.returncode != 0 or result != expected or kVersionOf[result] != version:
            problems.append(("rerun", "%s: status %d, marker %s, installation is %s (%s)"
                             % (when_after, rerun.returncode, result, version,
                                last_line(rerun.stdout, self.log))))
        if state["journal"] is not None:
            problems.append(("rerun", "%s: the journal is still there" % when_after))
        leftover = sorted(r for r in installed if kTemporary.search(r))
        if self.two_disks and self.rolls_back:
            # The journal keeps the copies' temporary name: a rerun finds and
            # clears them, in staging as in the installation.
            leftover += sorted(os.path.join(self.staging, r) for r in state["staging"]
                               if kTemporary.search(r))
            if leftover:
                problems.append(("leftover", "%s: temporary files left: %s"
                                 % (when_after, ", ".join(leftover[:3]))))
        elif leftover:
            problems.append(("litter", "%s: temporary files left in the installation: %s"
                             % (when_after, ", ".join(leftover[:3]))))
        self.check_nothing_lost(state, when_after, problems)
        return problems, True

    def version_of(self, installed):
        files = {r: d for r, d in installed.items() if not kTemporary.search(r)}
        if files == self.old:
            return "old"
        if files == self.new:
            return "new"
        differ = sum(files.get(r) != self.new.get(r) and files.get(r) != self.old.get(r)
                     for r in set(files) | set(self.new) | set(self.old))
        mixed = sum(files.get(r) != self.new.get(r) for r in set(files) | set(self.new))
        return "mixed (%d files not the new version, %d neither version)" % (mixed, differ)

    def check_nothing_lost(self, state, when, problems):
        installed, backup, staging = state["installed"], state["backup"], state["staging"]
        lost = [r for r, d in self.old.items() if installed.get(r) != d and backup.get(r) != d]
        lost += [r for r, d in self.staged.items() if installed.get(r) != d and staging.get(r) != d]
        if lost:
            problems.append(("lost", "%s: %d files lost, e.g. %s" % (when, len(lost),
                                                                    ", ".join(sorted(lost)[:3]))))


def last_line(output, log):
    lines = output.strip().splitlines()
    try:
        with open(log, errors="replace") as f:
            lines += f.read().strip().splitlines()
    except OSError:
        pass
    return lines[-1] if lines else "no output"


def read_events(path):
    events = []
    with open(path, "rb") as f:
        data = f.read()
    at = 0
    while at < len(data):
        kind, disk, offset, length = kRecord.unpack_from(data, at)
        at += kRecord.size
        events.append((kind, disk, offset, data[at:at + length]))
        at += length
    return events


def cut_points(events):
    """(label, number of events applied) for every state a power cut can
    leave: all writes before each flush, and the first half of the writes
    between two flushes, in order."""
    points = [("start", 0)]
    flushes = 0
    run_start = 0
    for index, (kind, disk, offset, data) in enumerate(events):
        if kind == kWrite:
            continue
        writes = index - run_start
        if writes >= 2:
            points.append(("mid-run after flush %d (%d of %d writes)"
                           % (flushes, writes // 2, writes), run_start + writes // 2))
        flushes += 1
        points.append(("flush %d" % flushes, index))
        run_start = index + 1
    writes = len(events) - run_start
    if writes >= 2:
        points.append(("mid-run after flush %d (%d of %d writes)"
                       % (flushes, writes // 2, writes), run_start + writes // 2))
    if writes >= 1:
        points.append(("end, %d writes after the last flush" % writes, len(events)))
    return points


def check_cuts(scenario, bases, events):
    replay = [os.path.join(scenario.shm, "replay-" + disk) for disk in scenario.disks()]
    cut = [os.path.join(scenario.shm, "cut-" + disk) for disk in scenario.disks()]
    for base, image, target in zip(bases, replay, cut):
        shutil.copyfile(base, image)
        shutil.copyfile(base, target)
    fds = [os.open(image, os.O_RDWR) for image in replay]
    cut_fds = [os.open(image, os.O_RDWR) for image in cut]
    # One loop device per disk serves every cut image in turn.
    devices = scenario.attach(cut)
    points = cut_points(events)
    stats = {"points": len(points), "checked": 0, "same": 0, "same_state": 0, "reruns": 0}
    problems = []
    failed_points = {}
    # The kinds of problem found in each state already checked: a cut image
    # that differs only below the files (a transaction the journal replay
    # drops, say) leaves the same state, and the same rerun.
    seen = {}
    applied = 0
    changed = True
    try:
        for label, upto in points:
            for kind, disk, offset, data in events[applied:upto]:
                if kind == kWrite and os.pread(fds[disk], len(data), offset) != data:
                    os.pwrite(fds[disk], data, offset)
                    changed = True
            applied = upto
            if not changed:
                # Byte for byte the image just checked.
                stats["same"] += 1
                continue
            changed = False
            for source, target in zip(fds, cut_fds):
                copied = 0
                while copied < kImageBytes:
                    copied += os.copy_file_range(source, target, kImageBytes - copied, copied,
                                                 copied)
            try:
                scenario.mount(devices)
            except RuntimeError as error:
                problems.append(("mount", "%s: %s" % (label, error)))
                failed_points.setdefault("mount", set()).add(label)
                continue
            try:
                state = scenario.read_state()
                fingerprint = hashlib.sha1(repr(sorted(
                    (name, sorted(value.items()) if isinstance(value, dict) else value)
                    for name, value in state.items())).encode()).digest()
                if fingerprint in seen:
                    stats["same_state"] += 1
                    for kind in seen[fingerprint]:
                        failed_points.setdefault(kind, set()).add(label)
                    continue
                found, reran = scenario.check_state(label, state)
            finally:
                scenario.unmount()
            seen[fingerprint] = {kind for kind, text in found}
            stats["checked"] += 1
            stats["reruns"] += reran
            for kind, text in found:
                failed_points.setdefault(kind, set()).add(label)
            problems += found
        # The whole log rebuilds the disks as the run left them, or it missed
        # something.
        for fd, served in zip(fds, scenario.served):
            with open(served, "rb") as f:
                if os.pread(fd, kImageBytes, 0) != f.read():
                    problems.append(("log", "the write log does not rebuild %s" % served))
                    failed_points["log"] = {"end"}
    finally:
        for fd in fds + cut_fds:
            os.close(fd)
    return stats, problems, {kind: len(labels) for kind, labels in failed_points.items()}


def preconditions(name):
    if os.geteuid() != 0:
        raise Skip("not root: mounting file systems and loop devices needs root")
    if not os.path.exists("/dev/fuse"):
        raise Skip("no /dev/fuse")
    try:
        # fusepy raises OSError where libfuse is missing.
        importlib.import_module("fusepy")
    except (ImportError, OSError):
        raise Skip("the Python module fusepy is missing (Debian: python3-fusepy), for %s"
                   % sys.executable)
    tools = ["mkfs.ext4", "losetup", "mount", "umount"] + (
        ["chattr"] if name in ("rollback", "undo_staging_on_another_file_system") else [])
    for tool in tools:
        if shutil.which(tool) is None:
            raise Skip("%s is missing" % tool)
    if not os.path.isdir("/dev/shm"):
        raise Skip("no /dev/shm")
    if run("losetup", "-f", check=False).returncode != 0:
        raise Skip("no free loop device")


def main(argv):
    if len(argv) >= 2 and argv[1] == "--serve":
        serve(argv[2], argv[3], argv[4:])
        return 0
    if len(argv) != 4:
        print(__doc__, file=sys.stderr)
        return 2
    updater, scratch_root, name = argv[1:]
    if name not in ("update", "rollback", "resumed", "staging_on_another_file_system",
                    "second_run_while_held", "undo_staging_on_another_file_system"):
        print("unknown scenario %s" % name, file=sys.stderr)
        return 2
    title = "power_cut." + name
    try:
        preconditions(name)
    except Skip as reason:
        print("%s: SKIPPED: %s" % (title, reason))
        return kSkip
    scratch = os.path.join(os.path.abspath(scratch_root), name)
    scenario = Scenario(name, updater, scratch)
    # A ctest timeout or an interrupt ends the run through the cleanup below.
    for number in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(number, lambda signum, frame: sys.exit(128 + signum))
    started = time.monotonic()
    try:
        clear_leftovers(scratch, scenario.shm)
        for folder in (scratch, scenario.shm):
            shutil.rmtree(folder, ignore_errors=True)
        for folder in (scenario.shm, scenario.mnt, scenario.mnt2, scenario.fuse):
            os.makedirs(folder)
        probe = os.path.join(scenario.shm, "probe.img")
        with open(probe, "wb") as f:
            f.truncate(1 << 20)
        try:
            scenario.resources.loop(probe)
            scenario.resources.pop()
        except RuntimeError as error:
            print("%s: SKIPPED: no loop device can be set up: %s" % (title, error))
            return kSkip
        try:
            bases = scenario.prepare_base()
            events = scenario.record(bases)
        except RuntimeError as error:
            print("%s: FAILED before the cut points: %s" % (title, error))
            return 1
        writes = sum(kind == kWrite for kind, *_ in events)
        print("%s: the recorded run (%.2f s, status %d, marker %s) sent %d writes and %d "
              "flushes to %d disk(s)" % (title, scenario.run_seconds, scenario.first_status,
                                          scenario.first_marker, writes, len(events) - writes,
                                          len(scenario.disks())))
        stats, problems, failed = check_cuts(scenario, bases, events)
    finally:
        scenario.resources.release_all()
        clear_leftovers(scratch, scenario.shm)
        shutil.rmtree(scenario.shm, ignore_errors=True)
        # Only empty folders: never what a mount still shows.
        for folder in (scenario.mnt, scenario.mnt2, scenario.fuse, scratch):
            try:
                os.rmdir(folder)
            except OSError:
                pass
    print("%s: %d cut points: %d images identical to the one before, %d mounted states seen "
          "before, %d checked with %d reruns, in %.1f s"
          % (title, stats["points"], stats["same"], stats["same_state"], stats["checked"],
             stats["reruns"], time.monotonic() - started))
    for kind, meaning, fails in kKinds:
        if kind == "lost" or failed.get(kind):
            print("%s: cut points that %s: %d%s" % (title, meaning, failed.get(kind, 0),
                                                    "" if fails else " (a warning)"))
    for kind, meaning, fails in kKinds:
        found = [text for found_kind, text in problems if found_kind == kind]
        if found:
            print("%s: the first that %s:" % (title, meaning))
            for text in found[:kShownPerKind]:
                print("  " + text)
    if stats["checked"] == 0:
        print("%s: FAILED: no cut point was checked" % title)
        return 1
    if any(failed.get(kind) for kind, meaning, fails in kKinds if fails):
        print("%s: FAILED" % title)
        return 1
    print("%s: passed" % title)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
