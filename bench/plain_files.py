"""The plain files of bench/syscalls and bench/profile-plain: text that starts like no archive
any reader knows, all of one size. They are left to settle, as a tree in use would be: the
archiver libraries share their first look only at a file whose last change is two seconds old."""
import os
import time

SETTLING_SECONDS = 2.2


def make_plain_files(folder, count, size=300):
    os.makedirs(folder)
    for i in range(count):
        with open(os.path.join(folder, "f%05d.txt" % i), "wb") as f:
            f.write(((b"plain text line %06d of a file that is no archive\n" % i) * size)[:size])
    time.sleep(SETTLING_SECONDS)
