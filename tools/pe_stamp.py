#!/usr/bin/python3
"""Gives a shipped exe the time of its source as its PE time stamp.

The linker writes no time stamp (so that every build of a commit is the same
bytes); this post-link step writes a reproducible one: the committer time of
the source tree's last commit, or SOURCE_DATE_EPOCH when that is set. It then
sets the header's CheckSum to the value Windows' own algorithm gives, since
the stamp is part of what the checksum covers. pefile (python3-pefile) reads
and writes the header.

    pe_stamp.py epoch SOURCE_DIR EPOCH_FILE
        writes the time (seconds since 1970, UTC) to EPOCH_FILE, touching the
        file only when the value changes, so that a build relinks only then
    pe_stamp.py stamp EXE EPOCH_FILE
        writes that time and the matching checksum into EXE, in place
"""

import os
import subprocess
import sys

import pefile


def fail(message):
    sys.exit("pe_stamp: " + message)


def parse_epoch(text, where):
    text = text.strip()
    if not text.isdigit() or int(text) >= 2 ** 32:
        fail("%s is %r, not a time in seconds that a PE header can hold" % (where, text))
    return int(text)


def source_epoch(source_dir):
    env = os.environ.get("SOURCE_DATE_EPOCH", "")
    if env:
        return parse_epoch(env, "SOURCE_DATE_EPOCH")
    def git(*args):
        try:
            out = subprocess.run(["git", "-C", source_dir] + list(args),
                                 capture_output=True, text=True, check=False)
        except OSError as error:
            fail("cannot run git (%s); set SOURCE_DATE_EPOCH to build outside a git checkout" % error)
        return out.stdout.strip() if out.returncode == 0 else ""

    # A source tree unpacked inside some other checkout is not that one's.
    top = git("rev-parse", "--show-toplevel")
    if not top or os.path.realpath(top) != os.path.realpath(source_dir):
        fail("%s is not a git checkout, so it has no commit to take the time from;"
             " set SOURCE_DATE_EPOCH" % source_dir)
    return parse_epoch(git("log", "-1", "--format=%ct"), "the commit's time")


def write_epoch(source_dir, epoch_file):
    text = "%d\n" % source_epoch(source_dir)
    if not os.path.isfile(epoch_file) or open(epoch_file).read() != text:
        with open(epoch_file, "w") as out:
            out.write(text)


def stamp(exe, epoch_file):
    epoch = parse_epoch(open(epoch_file).read(), epoch_file)
    try:
        pe = pefile.PE(exe, fast_load=True)
    except (OSError, pefile.PEFormatError) as error:
        fail("%s is not an executable: %s" % (exe, error))
    if pe.OPTIONAL_HEADER.Magic != pefile.OPTIONAL_HEADER_MAGIC_PE:
        fail("%s is not a PE32 image" % exe)
    # The certificates' directory: a stamp would break a signature.
    if pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]].Size:
        fail("%s is signed; stamp the unsigned build" % exe)
    pe.FILE_HEADER.TimeDateStamp = epoch
    # Windows' own sum, as IMAGEHLP's CheckSumMappedFile makes it.
    pe.OPTIONAL_HEADER.CheckSum = pe.generate_checksum()
    image = pe.write()
    pe.close()
    with open(exe, "wb") as f:
        f.write(image)


def main(argv):
    if len(argv) == 4 and argv[1] == "epoch":
        write_epoch(argv[2], argv[3])
    elif len(argv) == 4 and argv[1] == "stamp":
        stamp(argv[2], argv[3])
    else:
        sys.stderr.write(__doc__)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
