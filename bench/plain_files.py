"""The plain files of bench/syscalls and bench/profile-plain: text that starts like no archive
any reader knows, all of one size, measured as soon as they are written: a file just written
must cost no more than an older one."""
import os


def make_plain_files(folder, count, size=300):
    os.makedirs(folder)
    for i in range(count):
        with open(os.path.join(folder, "f%05d.txt" % i), "wb") as f:
            f.write(((b"plain text line %06d of a file that is no archive\n" % i) * size)[:size])
