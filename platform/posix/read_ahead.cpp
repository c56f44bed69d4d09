// Folder searches on POSIX that read ahead of the walk: while the program judges one file, the
// next entries of the folder are already being looked up, opened and read by a small pool of
// threads, so that a share or a disk that answers many requests at once is kept busy.
//
// A search holds a window of the entries that come next, each one job: the entry's status (the
// find record), and for an ordinary file its open and the request of its first bytes (of all
// of a small one; and of its last ones where a ZIP or 7z keeps its directory there: the thread
// reads the first bytes only of a larger file, to see which it is), for a folder its open,
// which the folder's own search takes over when the walk enters it. The program is handed each
// entry in the folder's order exactly as the search without read-ahead would hand it; the
// job's descriptor is the one every later reader of the file uses (the program's head,
// the archiver libraries through the lending below, the cabinet service), and it is closed when
// the search moves on to the next entry. The bytes read ahead are held by the kernel's cache of
// the open file: the program keeps only the first HEAD_KEPT bytes of each.
//
// Bounds: a search reads at most `files_in_flight` entries ahead of the walk, and the searches
// together hold at most descriptor_ceiling() descriptors; a job past that bound takes the status
// only, and the file is opened when the walk comes to it. The threads take the jobs of the
// innermost search first, in the folder's order, since that is the order the walk wants them.
//
// Once the threads run, a folder's job also reads the folder's names ahead, taking each entry's
// status before it reads on (a share's client then keeps sending the entries' attributes with
// the names, as it does for the walk), and starts the same job for each folder among them: the
// folders of the tree are read many at once, ahead of the walk, which on a share otherwise
// waits for each folder's open and names in turn. The entries read ahead are jobs whose status
// is known; the search of the folder, when the walk enters it, takes them into its window
// before it reads on where the job stopped. At most NAMES_AHEAD entries and FOLDERS_AHEAD
// folders for each file in flight are held read ahead at a time; past that a folder is read
// as the walk comes to it. In an update, a file among those names that the update's filter
// lets through is opened then too, up to the count in flight (opens_ahead).
// The walk itself runs on one thread: only the job queue and a job's state are shared, under
// one lock, which the walk skips for a job already done; a job's results are written by the one
// thread that runs it and read once it is done.
#include "read_ahead.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>

#include "read_ring.h"
#include "target.h"
#include "whole_io.h"

namespace {

// More than any head test needs: the program's readers compare at most 20 bytes.
const size_t HEAD_KEPT = 64;
// The first read of a file: what the archiver libraries read first, so that it is one request.
const size_t HEAD_READ = LENT_LOOK_BYTES;
// A ZIP's end record and comment, and a small 7z's header, lie within its last 64 KiB.
const size_t TAIL_READ = 64u * 1024u;
// A file this small is asked for whole, in the request of its first bytes: most listings read
// an archive through (a tar's, an LZH's or a RAR's headers lie between their members, and a
// compressed stream is read to its end), and each of their reads past the first bytes would
// otherwise wait for the disk or the share in turn. A cold run of tree m, whose tars are
// 20 KiB, took 0.122 s instead of 0.139.
const size_t WHOLE_READ = 64u * 1024u;
// Entries, and folders held open, read ahead of their searches for each file in flight: with
// 64 in flight, 16,384 entries (jobs of about 400 bytes: 6.5 MiB) and 256 folders. A folder
// that finds no room left is read in part and the rest as the walk comes to it, one request
// after another, so the bound is what lets a share's tree be read many folders at once.
const unsigned NAMES_AHEAD = 256;
const unsigned FOLDERS_AHEAD = 4;
// A file on a local disk costs its thread less than the thread's wake (on a virtual machine a
// wake is an exit to the hypervisor), so a thread is woken for this many of them at a time and
// takes them in turn: a cold run of tree m took 0.17 s instead of 0.22, tree a 0.43 instead of
// 0.67. A share's files, each waiting a round trip, and every folder wake a thread at once; the
// walk, coming to a file no thread was woken for, runs it and wakes one for those after it.
const unsigned WAKE_BATCH = 16;
// Reads a thread's ring holds at most. Its files' heads are asked for WAKE_BATCH at a time.
const unsigned RING_CAPACITY = 64;
enum JobState { JOB_WAITING, JOB_RUNNING, JOB_DONE };

struct Job {
    // Set before the job is queued, read only afterwards.
    int folder_fd;
    const char *name;  // within `path`
    char *path;
    unsigned level;    // how deep its search is in the walk: the deepest goes first
    uint64_t order;
    bool may_open;     // holds one of the descriptors of DESCRIPTOR_CEILING
    bool status_given;  // its status (or its error) came with its folder's names read ahead
    bool read_ahead;    // a folder whose names are read ahead, one of FOLDERS_AHEAD
    bool batched;       // a file of a folder on a local disk: may wait for WAKE_BATCH more
    bool filter_asked;  // the open filter was asked about it with its folder's names
    bool opened_ahead;  // so, and let through: opened before the walk comes to its folder
    // Written under the lock, or by the walk while no thread knows of the job. The walk also
    // reads it without the lock (done_already) to pass by a job that a thread has done: a done
    // job is never written by a thread again, and what the thread wrote before is seen with it.
    JobState state;
    // Under the lock.
    Job *next_queued;
    // Written by the thread that runs the job, read once it is done.
    EntryAhead entry;
    DIR *folder;       // a folder opened ahead, for the search of it to adopt
    // Its first entries, read ahead from `folder` in its order, with the search of it to take
    // them over; `names_ended` when they are all of it, `names_error` then why it ended early.
    Job **names;
    size_t names_count;
    bool names_ended;
    int names_error;
    unsigned char head[HEAD_KEPT];
    size_t head_length;
    bool head_read;    // else read when the walk asks for it
    int read_error;
    bool attributes_told;  // its status has answered an attribute query
};

struct Search {
    DIR *folder;        // null for a search that named one entry exactly
    char *prefix;       // the pattern without its "*": the folder's entries are named by it
    size_t prefix_length;
    Job **ahead;        // the entries its folder's job read ahead, from `ahead_next` not yet
    size_t ahead_count, ahead_next;  // in the window; then `folder` is read on
    bool ahead_ended;
    bool with_status;   // its folder's job read names ahead: the search takes on the statuses
    bool local;         // its folder lies on a local disk (not on a share, nor taken for one)
    bool device_told;   // the walk came to its folder with the folder's status: `device`
    dev_t device;
    Job *window[MOST_FILES_IN_FLIGHT];  // the entries read from the folder, not yet handed out
    size_t first, count;
    bool ended;
    int read_error;     // why the folder's reading ended early; 0 at its end
    Job *current;       // the entry handed out last, while the walk is on it
    unsigned level;
    Search *outer;
};

pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t work_waiting = PTHREAD_COND_INITIALIZER;
pthread_cond_t work_done = PTHREAD_COND_INITIALIZER;
Job *queue = nullptr;            // under the lock
unsigned idle_workers = 0;       // under the lock: threads waiting for a job
unsigned wakes_pending = 0;      // under the lock: of those, signalled and not yet awake
bool walk_waits = false;         // under the lock: the walk waits for a job to be done
unsigned files_in_flight = 1;    // set before the first search
// False while every file the walk opened itself had its first bytes in the cache already: no
// job is handed to a thread then, since handing threads files that cost no wait would cost
// more than it saves. The first file whose bytes were not there starts them, and so does a
// walk on a share. Set by the walk's thread before any thread exists.
bool threads_started = false;
bool as_on_a_share = false;      // set before the walk: every folder is taken for a share's
bool as_on_a_cold_disk = false;  // set before the walk: every folder is taken for a local disk's
unsigned workers = 0;            // under the lock: a thread is started for a job none waits for
// Threads started at most (under the lock): one a processor while every folder met lies on a
// local disk, the count in flight once a share's is met. A local disk's jobs are processor work
// more than waiting (the kernel's status, open and read requests, asked together), and threads
// beyond the processors only take turns with the walk, whose thread bounds a cold run: with two
// processors, tree m took 0.077 s cold against 0.088 s with up to 64 threads, tree a 0.212
// against 0.248, tree b 0.326 against 0.370. A share's files each wait a round trip.
unsigned thread_bound = 1;
unsigned descriptors_held = 0;   // the walk's thread alone
uint64_t next_order = 0;         // under the lock
// Jobs of files on a local disk queued since a thread was last woken: under the lock.
unsigned unwoken = 0;
// Jobs of files on a local disk in the queue: under the lock.
unsigned batched_queued = 0;
// Entries read ahead, not yet in a window, and folders whose names are read ahead: taken and
// given back by every thread, one at a time, without the lock.
std::atomic<unsigned> names_held(0);
std::atomic<unsigned> folders_held(0);
// Files opened ahead of their folders' searches (opens_ahead): taken by the threads, given back
// by the walk as it passes each.
std::atomic<unsigned> files_ahead_held(0);
// Threads that hold a ring, whose descriptor each keeps for the run: at most a sixteenth of the
// files' descriptor_ceiling(), and no more than MOST_RINGS. A thread without one reads ahead.
std::atomic<unsigned> rings_held(0);
const unsigned MOST_RINGS = 16;
Search *innermost = nullptr;     // the searches open, the walk's thread alone
// The folders named to the program that are read ahead before the walk comes to them, in the
// order named; the walk's thread alone.
Job **named_ahead = nullptr;
size_t named_count = 0, named_taken = 0;
// Whether the threads read the heads of a local disk's files through rings: cleared when one
// would not open, to be asked no more.
std::atomic<bool> rings_wanted(true);
// Set by the walk under the lock, and read by the threads: a file it turns away is not opened
// ahead. A window's jobs ask it only while the walk is on their folder; the threads that read
// names ahead ask it under the lock, so that none asks a filter the walk has taken away (the
// update's record behind it may be gone) or pairs it with another's user value.
std::atomic<OpenFilter> open_filter(nullptr);
void *open_filter_user = nullptr;

// Half the descriptors the process may open, leaving the rest to the libraries and the
// listing, and never more than the searches could use: read with the count in flight, before
// a walk (set_files_in_flight), so that a limit lowered since is the one kept to.
unsigned descriptors_allowed = 512;

unsigned descriptor_ceiling() { return descriptors_allowed; }

void start_threads();
void queue_job(Job *job);
void release(Job *job);

bool is_dot_entry(const char *name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// A name longer than the find record holds cannot be named back; Windows has none.
bool nameable(size_t length) { return length < sizeof(((WIN32_FIND_DATAA *)nullptr)->cFileName); }

// The job of the entry `name` of the folder whose entries are named by `prefix`, not queued;
// null when memory ran out.
Job *new_job(const char *prefix, size_t prefix_length, const char *name, size_t length,
             int folder_fd, unsigned level) {
    Job *job = (Job *)calloc(1, sizeof(Job) + prefix_length + length + 1);
    if (!job) return nullptr;
    job->path = (char *)(job + 1);
    memcpy(job->path, prefix, prefix_length);
    memcpy(job->path + prefix_length, name, length + 1);
    job->name = job->path + prefix_length;
    job->folder_fd = folder_fd;
    job->level = level;
    job->entry.descriptor = -1;
    return job;
}

// Takes one of `held`'s `bound` places; false when all are taken.
bool take_place(std::atomic<unsigned> *held, unsigned bound) {
    if (held->fetch_add(1) < bound) return true;
    held->fetch_sub(1);
    return false;
}

void give_place(std::atomic<unsigned> *held) { held->fetch_sub(1); }

// Folders held read ahead keep their descriptors open, besides the files' descriptor_ceiling().
bool take_folder_place() {
    unsigned bound = FOLDERS_AHEAD * files_in_flight;
    if (bound > descriptor_ceiling() / 4) bound = descriptor_ceiling() / 4;
    return take_place(&folders_held, bound);
}

bool looks_like_tail_directory(const unsigned char *head, size_t length) {
    static const unsigned char SEVEN_ZIP[6] = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C};
    if (length >= 2 && head[0] == 'P' && head[1] == 'K') return true;
    return length >= sizeof SEVEN_ZIP && memcmp(head, SEVEN_ZIP, sizeof SEVEN_ZIP) == 0;
}

// The look at the file the walk stands on, which the archiver libraries are lent with its
// descriptor (target.h): the descriptor's status, then the file's first bytes. Invariant: while
// `job` is not null it is the search's current job, or the one about to be, and `lent` holds
// what was read through its descriptor; release() empties it with the job.
struct CurrentLook {
    const Job *job;
    LentLook lent;
    unsigned char bytes[HEAD_READ];
};
CurrentLook current_look;

// Takes the look at the job's open file, the first HEAD_KEPT bytes kept as its head. Asked not
// to wait, it takes it only when every byte is in the cache. 0 when taken; -1 when some were
// not, or the descriptor is no ordinary file; else the error of the call that failed.
int take_look(Job *job, bool nowait) {
    if (current_look.job == job) return 0;
    current_look.job = nullptr;
    int fd = job->entry.descriptor;
    struct stat status;
    if (fstat(fd, &status) != 0) return errno ? errno : EIO;
    if (!S_ISREG(status.st_mode) || status.st_size < 0) return -1;
    size_t want = (uint64_t)status.st_size < HEAD_READ ? (size_t)status.st_size : HEAD_READ;
    int64_t got;
    if (nowait) {
        struct iovec probe = {current_look.bytes, want};
        got = preadv2(fd, &probe, 1, 0, RWF_NOWAIT);
        if (got < 0) return errno ? errno : EIO;
        if ((size_t)got < want) return -1;
    } else {
        got = read_whole(fd, current_look.bytes, want, 0);
        if (got < 0) return errno ? errno : EIO;
    }
    job->head_read = true;
    job->head_length = (size_t)got < HEAD_KEPT ? (size_t)got : HEAD_KEPT;
    memcpy(job->head, current_look.bytes, job->head_length);
    current_look.lent = {status, current_look.bytes, (size_t)got};
    current_look.job = job;
    return 0;
}

// The first HEAD_KEPT bytes of the job's open file, kept.
void read_head(Job *job) {
    job->head_read = true;
    int64_t got = read_whole(job->entry.descriptor, job->head, HEAD_KEPT, 0);
    if (got < 0)
        job->read_error = errno ? errno : EIO;
    else
        job->head_length = (size_t)got;
}

// Opens a file and has its first bytes read, and its last ones where its format keeps its
// directory there, into the cache of this open file, where the readers after find them; the
// program keeps the first HEAD_KEPT bytes. With a thread's `ring`, a file that one read takes
// whole is asked for through the ring, together with the other files of the thread's batch:
// true then, and the job is done once the ring has handed the batch to the kernel.
bool open_file(Job *job, ReadRing *ring) {
    // O_NONBLOCK: a FIFO that took the path since its status must not make the open wait.
    const int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    // A status this job took came from the search's open folder, and the file is opened there
    // too, without walking its path again. One that came with a folder's names read ahead
    // was taken in a folder that may be closed by now: the path names that file.
    int fd = job->status_given ? open(job->path, flags) : openat(job->folder_fd, job->name, flags);
    if (fd < 0) {
        job->entry.open_error = errno ? errno : EIO;
        return false;
    }
    job->entry.descriptor = fd;
    bool cached = false;
    if (!threads_started && files_in_flight > 1) {
        // Asked not to wait, the read fails unless the bytes are in the cache. Until the
        // threads start, only the walk's thread runs jobs, each just before the walk comes to
        // its file: what the probe got is the look the libraries are lent. A file whose first
        // bytes are in the cache is not read ahead.
        int taken = take_look(job, true);
        if (taken > 0) start_threads();
        cached = taken == 0;
    }
    // A file that one read takes whole needs nothing more: its bytes, on their way, are taken
    // when the walk comes to it, so that the thread goes on to the next file instead of
    // waiting for them (a cold disk then serves its files in flight many at a time, not each
    // after a thread's wake). Through a ring its head is asked for, and the kernel reads ahead
    // of it as of any first read.
    uint64_t size = (uint64_t)job->entry.status.st_size;
    if (!cached && ring && size <= HEAD_READ && ring_read(ring, fd, 0)) return true;
    if (!cached) readahead(fd, 0, size <= WHOLE_READ ? (size_t)size : HEAD_READ);
    if (size <= HEAD_READ || (size <= WHOLE_READ && !cached)) return false;
    if (!job->head_read) read_head(job);
    if (job->read_error) return false;
    if (looks_like_tail_directory(job->head, job->head_length)) {
        uint64_t tail = size - HEAD_READ < TAIL_READ ? size - HEAD_READ : TAIL_READ;
        readahead(fd, (off64_t)(size - tail), (size_t)tail);
    }
    return false;
}

// The entry's status, taken from its folder.
void take_status(Job *job, int folder_fd) {
    if (fstatat(folder_fd, job->name, &job->entry.status, 0) == 0)
        job->entry.known = true;
    else
        job->entry.status_error = errno ? errno : EIO;
}

// Whether `filter` (null: none) lets the job's file be opened, asked with the identity that its
// status gives.
bool lets_through(OpenFilter filter, const Job *job) {
    if (!filter) return true;
    FileState identity;
    state_of(job->entry.status, &identity);
    return filter(open_filter_user, job->path, &identity);
}

// Whether an update's file among a folder's names read ahead is to be opened now, before the
// walk comes to the folder: one that the update's record cannot prove unchanged, while one of
// the places of files_ahead_held is free. The walk's window holds the next files_in_flight
// entries of the folder it is in, and in an update hardly any of them is to be opened: a
// rerun's few files to read, scattered over the tree, would otherwise each wait for its own
// round trips when the walk came to it. In a full run the window is all files to open and
// keeps the threads busy as it is. The filter is asked here once, or by the window later.
bool opens_ahead(Job *entry) {
    if (!open_filter.load(std::memory_order_relaxed) || !entry->entry.known ||
        !S_ISREG(entry->entry.status.st_mode))
        return false;
    unsigned bound = files_in_flight;
    if (bound > descriptor_ceiling() / 4) bound = descriptor_ceiling() / 4;
    if (!take_place(&files_ahead_held, bound)) return false;
    pthread_mutex_lock(&lock);
    OpenFilter filter = open_filter;
    entry->filter_asked = filter != nullptr;
    entry->opened_ahead = filter && lets_through(filter, entry);
    pthread_mutex_unlock(&lock);
    if (!entry->opened_ahead) give_place(&files_ahead_held);
    return entry->opened_ahead;
}

// Appends `entry` to the folder job's names; false when memory ran out.
bool add_name(Job *job, Job *entry, size_t *capacity) {
    if (job->names_count == *capacity) {
        size_t more = *capacity ? *capacity * 2 : 64;
        Job **grown = (Job **)realloc(job->names, more * sizeof *grown);
        if (!grown) return false;
        job->names = grown;
        *capacity = more;
    }
    job->names[job->names_count++] = entry;
    return true;
}

// Reads the names of the folder job's open folder ahead, each entry's status taken before the
// next name is read, and starts the same job for each folder among them; up to the folder's
// end, or while fewer than NAMES_AHEAD entries are held ahead (the search reads on from there).
void read_names(Job *job) {
    size_t length = strlen(job->path);
    char *prefix = (char *)malloc(length + 2);
    if (!prefix) return;
    memcpy(prefix, job->path, length);
    memcpy(prefix + length, "/", 2);
    int folder_fd = dirfd(job->folder);
    size_t capacity = 0;
    while (take_place(&names_held, NAMES_AHEAD * files_in_flight)) {
        errno = 0;
        struct dirent *found = readdir(job->folder);
        if (!found) {
            job->names_ended = true;
            job->names_error = errno;
            give_place(&names_held);
            break;
        }
        size_t name_length = strlen(found->d_name);
        if (!nameable(name_length)) {
            give_place(&names_held);
            continue;
        }
        Job *entry = new_job(prefix, length + 1, found->d_name, name_length, folder_fd,
                             job->level + 1);
        if (!entry || !add_name(job, entry, &capacity)) {
            free(entry);
            job->names_ended = true;
            job->names_error = ENOMEM;
            give_place(&names_held);
            break;
        }
        take_status(entry, folder_fd);
        entry->status_given = true;
        entry->state = JOB_DONE;
        if (entry->entry.known && S_ISDIR(entry->entry.status.st_mode) &&
            !is_dot_entry(entry->name) && take_folder_place()) {
            entry->read_ahead = true;
            entry->state = JOB_WAITING;
            queue_job(entry);
        } else if (opens_ahead(entry)) {
            entry->may_open = true;
            entry->state = JOB_WAITING;
            queue_job(entry);
        }
    }
    free(prefix);
}

// Runs the job; true when its file waits in `ring` to be handed to the kernel (see open_file).
bool run(Job *job, ReadRing *ring) {
    if (!job->status_given) take_status(job, job->folder_fd);
    if (!job->entry.known || (!job->may_open && !job->read_ahead)) return false;
    if (S_ISREG(job->entry.status.st_mode)) {
        // A status that came with the folder's names was put to the filter when the names were
        // read, or when the search took the entry into its window.
        if (!job->status_given && !lets_through(open_filter, job)) return false;
        return open_file(job, ring);
    } else if (S_ISDIR(job->entry.status.st_mode)) {
        // The folder's own search reports a failure to open it.
        if (!job->folder) job->folder = opendir(job->path);
        // Only where threads share the work: the walk's thread would read it no sooner. A
        // job started by its folder's job is marked before it is queued, and the walk may look
        // at the mark while it runs: it is written here only for the search's own jobs.
        if (!job->folder || !threads_started) return false;
        if (!job->read_ahead) {
            if (!take_folder_place()) return false;
            job->read_ahead = true;
        }
        read_names(job);
    }
    return false;
}

// Which jobs best_place looks at.
enum JobKind { ANY_JOB, BATCHED_JOB, UNBATCHED_JOB };

// Where the waiting job of the kind to run next lies in the queue: the deepest search's first;
// null when none is waiting. Under the lock.
Job **best_place(JobKind kind) {
    Job **best = nullptr;
    for (Job **at = &queue; *at; at = &(*at)->next_queued) {
        Job *job = *at;
        if ((kind == BATCHED_JOB && !job->batched) || (kind == UNBATCHED_JOB && job->batched))
            continue;
        if (!best || job->level > (*best)->level ||
            (job->level == (*best)->level && job->order < (*best)->order))
            best = at;
    }
    return best;
}

// Takes the job at `place` off the queue. Under the lock.
Job *take_off(Job **place) {
    Job *job = *place;
    *place = job->next_queued;
    if (job->batched) batched_queued--;
    return job;
}

void *work(void *) {
    ReadRing ring;
    bool ring_tried = false;
    memset(&ring, 0, sizeof ring);
    ring.descriptor = -1;
    Job *taken[WAKE_BATCH];
    bool woken = false;
    pthread_mutex_lock(&lock);
    for (;;) {
        // Files of a local disk are taken a batch at a time, their heads handed to the kernel
        // together through the thread's ring: by a thread woken for them (a batch was queued,
        // or the walk came to one of them) or one that finds a whole batch waiting.
        Job **place = best_place(ANY_JOB);
        if (place && (*place)->batched && !woken && batched_queued < WAKE_BATCH)
            place = best_place(UNBATCHED_JOB);
        if (!place) {
            idle_workers++;
            pthread_cond_wait(&work_waiting, &lock);
            idle_workers--;
            if (wakes_pending) wakes_pending--;
            woken = true;
            continue;
        }
        woken = false;
        unsigned count = 0;
        for (Job *job = take_off(place);; job = take_off(place)) {
            std::atomic_ref<JobState>(job->state).store(JOB_RUNNING, std::memory_order_relaxed);
            taken[count++] = job;
            if (!job->batched || count == WAKE_BATCH || !(place = best_place(BATCHED_JOB)))
                break;
        }
        pthread_mutex_unlock(&lock);
        // A ring for the thread's first file of a local disk; none where the system has none.
        if (taken[0]->batched && !ring_tried && rings_wanted) {
            ring_tried = true;
            unsigned bound = descriptor_ceiling() / 16;
            if (take_place(&rings_held, bound < MOST_RINGS ? bound : MOST_RINGS) &&
                !ring_open(&ring, RING_CAPACITY)) {
                give_place(&rings_held);
                rings_wanted = false;
            }
        }
        for (unsigned i = 0; i < count; i++)
            run(taken[i], taken[i]->batched && rings_wanted ? &ring : nullptr);
        ring_submit(&ring);
        pthread_mutex_lock(&lock);
        for (unsigned i = 0; i < count; i++)
            std::atomic_ref<JobState>(taken[i]->state).store(JOB_DONE, std::memory_order_release);
        if (walk_waits) pthread_cond_broadcast(&work_done);
    }
    return nullptr;
}

// A share's folder met: its files each wait a round trip, so threads are started up to the
// count in flight.
void share_met() {
    pthread_mutex_lock(&lock);
    thread_bound = files_in_flight;
    pthread_mutex_unlock(&lock);
}

// From now on jobs go to the threads, beginning with those already waiting in the searches'
// windows.
void start_threads() {
    threads_started = true;
    for (Search *search = innermost; search; search = search->outer)
        for (size_t i = 0; i < search->count; i++) {
            Job *job = search->window[(search->first + i) % MOST_FILES_IN_FLIGHT];
            if (job->state == JOB_WAITING) queue_job(job);
        }
}

// One more thread, for a job that no idle thread will take, counted in `workers` already.
// Threads are started as jobs come, up to the count in flight, so that a walk with little to do
// starts few. Should none start, every job is run by the walk when it comes to it, as with one
// file in flight.
void add_worker() {
    pthread_attr_t attributes;
    bool started = false;
    if (pthread_attr_init(&attributes) == 0) {
        pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        // A job keeps nothing on the stack but its calls.
        pthread_attr_setstacksize(&attributes, 64u * 1024u);
        pthread_t thread;
        started = pthread_create(&thread, &attributes, work, nullptr) == 0;
        pthread_attr_destroy(&attributes);
    }
    if (started) return;
    pthread_mutex_lock(&lock);
    workers--;
    pthread_mutex_unlock(&lock);
}

// Under the lock: a thread woken, or one more to be started (true) for the jobs queued.
bool wake_locked() {
    unwoken = 0;
    if (idle_workers > wakes_pending) {
        wakes_pending++;
        pthread_cond_signal(&work_waiting);
    } else if (workers < thread_bound) {
        workers++;
        return true;
    }
    return false;
}

void queue_job(Job *job) {
    if (!threads_started) return;  // run by the walk when it comes to it
    pthread_mutex_lock(&lock);
    job->order = next_order++;
    job->next_queued = queue;
    queue = job;
    bool more = false;
    if (job->batched) batched_queued++;
    if (!job->batched || ++unwoken >= WAKE_BATCH) more = wake_locked();
    pthread_mutex_unlock(&lock);
    // Outside the lock: starting a thread takes longer than any job's turn with the lock.
    if (more) add_worker();
}

// Under the lock: takes a job that no thread has taken yet off the queue; false when one has.
bool unqueue(Job *job) {
    if (job->state != JOB_WAITING) return false;
    for (Job **at = &queue; *at; at = &(*at)->next_queued) {
        if (*at == job) {
            take_off(at);
            break;
        }
    }
    return true;
}

// Under the lock: waits until the thread that took the job has done it.
void wait_until_done(Job *job) {
    walk_waits = true;
    while (job->state != JOB_DONE) pthread_cond_wait(&work_done, &lock);
    walk_waits = false;
}

// Whether a thread has done the job, asked by the walk without the lock: the lock taken on every
// entry to learn so kept the walk waiting behind the threads, which take it for every batch.
bool done_already(Job *job) {
    return std::atomic_ref<JobState>(job->state).load(std::memory_order_acquire) == JOB_DONE;
}

// The job done, run here when no thread has taken it yet.
void finish(Job *job) {
    if (done_already(job)) return;
    pthread_mutex_lock(&lock);
    bool here = unqueue(job);
    bool more = false;
    if (here) job->state = JOB_RUNNING;
    // The walk takes this one itself: the jobs queued after it wait no longer for their wake.
    if (here && queue && unwoken) more = wake_locked();
    if (!here) wait_until_done(job);
    pthread_mutex_unlock(&lock);
    if (more) add_worker();
    if (here) {
        run(job, nullptr);
        job->state = JOB_DONE;  // no thread knows of it any more
    }
}

// The job done or dropped: one that no thread has taken yet is never run.
void settle(Job *job) {
    if (done_already(job)) return;
    pthread_mutex_lock(&lock);
    if (unqueue(job)) job->state = JOB_DONE;
    wait_until_done(job);
    pthread_mutex_unlock(&lock);
}

void release(Job *job) {
    if (!job) return;
    if (current_look.job == job) current_look.job = nullptr;
    settle(job);
    if (job->entry.descriptor >= 0) close(job->entry.descriptor);
    if (job->folder) closedir(job->folder);
    if (job->opened_ahead)
        give_place(&files_ahead_held);
    else if (job->may_open)
        descriptors_held--;
    for (size_t i = 0; i < job->names_count; i++) {
        release(job->names[i]);
        give_place(&names_held);
    }
    free(job->names);
    if (job->read_ahead) give_place(&folders_held);
    free(job);
}

// The folder's next name; null at its end, `read_error` then saying why it ended early.
const char *next_name(Search *search) {
    errno = 0;
    struct dirent *entry = readdir(search->folder);
    if (!entry) search->read_error = errno;
    return entry ? entry->d_name : nullptr;
}

// An entry whose status is known, into the window: handed to the threads when it is to be
// opened (a file the filter lets through, or a folder whose job is still to come), unless it
// was already with its folder's names.
void open_when_wanted(Job *job) {
    if (job->read_ahead || job->filter_asked || !job->entry.known || is_dot_entry(job->name) ||
        descriptors_held >= descriptor_ceiling())
        return;
    bool wanted = S_ISDIR(job->entry.status.st_mode) ||
                  (S_ISREG(job->entry.status.st_mode) && lets_through(open_filter, job));
    if (wanted) {
        job->may_open = true;
        descriptors_held++;
        job->state = JOB_WAITING;
        queue_job(job);
    }
}

// Reads the folder's next entries into the window, up to the count in flight, and hands each
// to the threads.
void fill_window(Search *search) {
    size_t room = files_in_flight;  // never past MOST_FILES_IN_FLIGHT, the window's size
    while (search->count < room && !search->ended) {
        Job *job;
        if (search->ahead_next < search->ahead_count) {
            job = search->ahead[search->ahead_next++];
            give_place(&names_held);
            // A folder or file among them queued already, as a job of its own: the threads' mark.
            if (!job->read_ahead && !job->opened_ahead) job->batched = search->local;
            open_when_wanted(job);
        } else if (search->ahead_ended) {
            search->ended = true;
            break;
        } else {
            const char *name = next_name(search);
            if (!name) {
                search->ended = true;
                break;
            }
            size_t length = strlen(name);
            if (!nameable(length)) continue;
            job = new_job(search->prefix, search->prefix_length, name, length,
                          dirfd(search->folder), search->level);
            if (!job) {
                search->ended = true;
                search->read_error = ENOMEM;
                break;
            }
            job->batched = search->local;
            if (search->with_status && !search->local) {
                // The rest of a share's folder read ahead in part: its statuses come with its
                // names, which handing each to a thread would cost more than it saves. A local
                // disk's statuses are read from the disk, cold: each goes to a thread.
                take_status(job, dirfd(search->folder));
                job->status_given = true;
                job->state = JOB_DONE;
                open_when_wanted(job);
            } else {
                job->may_open =
                    !is_dot_entry(job->name) && descriptors_held < descriptor_ceiling();
                if (job->may_open) descriptors_held++;
                queue_job(job);
            }
        }
        search->window[(search->first + search->count) % MOST_FILES_IN_FLIGHT] = job;
        search->count++;
    }
}

// Hands out the folder's next entry, the one before it released.
bool next_entry(Search *search, WIN32_FIND_DATAA *record) {
    release(search->current);
    search->current = nullptr;
    fill_window(search);
    if (search->count == 0) {
        errno = search->read_error;
        return false;
    }
    Job *job = search->window[search->first];
    search->first = (search->first + 1) % MOST_FILES_IN_FLIGHT;
    search->count--;
    finish(job);
    fill_find_record(record, job->name, job->entry.known ? &job->entry.status : nullptr);
    search->current = job;
    fill_window(search);
    return true;
}

// Whether the job is that of the folder whose entries the search lists.
bool is_folder_of(const Job *job, const Search *search) {
    return strlen(job->path) + 1 == search->prefix_length &&
           memcmp(job->path, search->prefix, search->prefix_length - 1) == 0;
}

// The job's open folder, and the names it read ahead, pass to the search.
void adopt(Search *adopting, Job *job) {
    adopting->folder = job->folder;
    adopting->ahead = job->names;
    adopting->ahead_count = job->names_count;
    adopting->ahead_ended = job->names_ended;
    adopting->read_error = job->names_error;
    adopting->with_status = job->read_ahead;
    job->folder = nullptr;
    job->names = nullptr;
    job->names_count = 0;
}

// The folder of the new search, when the search that holds it as its current entry opened it
// ahead, or when it was named to the program and read ahead. Names are read ahead only with
// their statuses: read long before the walk takes each entry's status, the status a share
// sends with them would have expired by then, and each entry would be looked up again.
void adopt_folder_ahead(Search *adopting) {
    for (Search *search = innermost; search; search = search->outer) {
        Job *job = search->current;
        if (job && is_folder_of(job, adopting)) {
            adopting->device_told = job->entry.known;
            adopting->device = job->entry.status.st_dev;
            if (job->folder) adopt(adopting, job);
            return;
        }
    }
    // A folder named to the program: those named before it are passed, never to be walked.
    for (size_t i = named_taken; !innermost && i < named_count; i++) {
        Job *job = named_ahead[i];
        if (!is_folder_of(job, adopting)) continue;
        finish(job);
        adopting->device_told = true;
        adopting->device = job->entry.status.st_dev;
        adopt(adopting, job);
        for (; named_taken <= i; named_taken++) release(named_ahead[named_taken]);
        return;
    }
}

Job *current_job(const char *path) {
    for (Search *search = innermost; search; search = search->outer)
        if (search->current && strcmp(search->current->path, path) == 0) return search->current;
    return nullptr;
}

void close_search(Search *search) {
    release(search->current);
    while (search->ahead_next < search->ahead_count) {
        release(search->ahead[search->ahead_next++]);
        give_place(&names_held);
    }
    free(search->ahead);
    while (search->count) {
        release(search->window[search->first]);
        search->first = (search->first + 1) % MOST_FILES_IN_FLIGHT;
        search->count--;
    }
    if (search->folder) closedir(search->folder);
    for (Search **at = &innermost; *at; at = &(*at)->outer) {
        if (*at == search) {
            *at = search->outer;
            break;
        }
    }
    free(search->prefix);
    free(search);
}

}  // namespace

void set_files_in_flight(unsigned count) {
    files_in_flight = count < 1 ? 1 : count > MOST_FILES_IN_FLIGHT ? MOST_FILES_IN_FLIGHT : count;
    cpu_set_t usable;
    int processors = sched_getaffinity(0, sizeof usable, &usable) == 0
                         ? CPU_COUNT(&usable)
                         : (int)sysconf(_SC_NPROCESSORS_ONLN);
    if (processors < 1) processors = 1;
    struct rlimit limit;
    rlim_t allowed = getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_cur : 1024;
    pthread_mutex_lock(&lock);
    thread_bound = (unsigned)processors < files_in_flight ? (unsigned)processors : files_in_flight;
    descriptors_allowed = allowed / 2 > 4096 ? 4096 : allowed / 2 < 1 ? 1 : (unsigned)(allowed / 2);
    pthread_mutex_unlock(&lock);
}

void read_ahead_of_walk(const char *path) {
    if (files_in_flight < 2) return;
    size_t length = strlen(path);
    while (length > 1 && path[length - 1] == '/') length--;
    DIR *folder = opendir(path);
    if (!folder) return;
    struct stat status;
    Job *job = nullptr;
    // The root's search lists "/", no folder's path: it is not read ahead.
    if (!(length == 1 && path[0] == '/') && (as_on_a_share || !on_local_disk(dirfd(folder))) &&
        fstat(dirfd(folder), &status) == 0) {
        share_met();
        job = new_job(path, length, "", 0, -1, 0);
    }
    Job **more = job ? (Job **)realloc(named_ahead, (named_count + 1) * sizeof *more) : nullptr;
    if (more) named_ahead = more;
    if (!more || !take_folder_place()) {
        free(job);
        closedir(folder);
        return;
    }
    job->entry.status = status;
    job->entry.known = true;
    job->status_given = true;
    job->read_ahead = true;
    job->folder = folder;
    named_ahead[named_count++] = job;
    if (!threads_started) start_threads();
    queue_job(job);
}

void read_ahead_as_on_a_share() {
    as_on_a_share = true;
    as_on_a_cold_disk = false;
    share_met();
    if (!threads_started) start_threads();
}

void read_ahead_as_on_a_cold_disk(bool rings) {
    as_on_a_cold_disk = true;
    rings_wanted = rings;
    as_on_a_share = false;
    if (!threads_started) start_threads();
}

void set_open_filter(OpenFilter filter, void *user) {
    pthread_mutex_lock(&lock);
    open_filter = filter;
    open_filter_user = user;
    pthread_mutex_unlock(&lock);
}

bool status_ahead(const char *path, EntryAhead *entry) {
    Job *job = current_job(path);
    if (!job || job->attributes_told) return false;
    job->attributes_told = true;
    *entry = job->entry;
    return true;
}

bool entry_ahead(const char *path, bool open_now, EntryAhead *entry) {
    Job *job = current_job(path);
    if (!job) return false;
    if (open_now && job->entry.known && S_ISREG(job->entry.status.st_mode) &&
        job->entry.descriptor < 0 && job->entry.open_error == 0) {
        // Past the bound: opened now that the walk is on it, and held as if read ahead.
        if (!job->may_open) {
            job->may_open = true;
            descriptors_held++;
        }
        open_file(job, nullptr);
    }
    *entry = job->entry;
    return true;
}

bool read_first_bytes(const char *path, void *buffer, size_t capacity, size_t *length) {
    *length = 0;
    EntryAhead entry;
    if (!entry_ahead(path, true, &entry)) {
        int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
        if (fd < 0) return false;
        int64_t got = read_whole(fd, buffer, capacity, 0);
        int error = errno;
        close(fd);
        errno = error;
        if (got < 0) return false;
        *length = (size_t)got;
        return true;
    }
    Job *job = current_job(path);
    if (entry.descriptor < 0) {
        errno = entry.open_error ? entry.open_error : entry.status_error ? entry.status_error : EIO;
        return false;
    }
    if (!job->head_read) {
        // The look the libraries will be lent, read once for them and the program's head.
        int taken = take_look(job, false);
        if (taken > 0)
            job->read_error = taken;
        else if (taken < 0)
            read_head(job);
    }
    if (job->read_error) {
        errno = job->read_error;
        return false;
    }
    if (capacity <= job->head_length || job->head_length < HEAD_KEPT) {
        *length = capacity < job->head_length ? capacity : job->head_length;
        memcpy(buffer, job->head, *length);
        return true;
    }
    int64_t got = read_whole(entry.descriptor, buffer, capacity, 0);
    if (got < 0) return false;
    *length = (size_t)got;
    return true;
}

int copy_of_descriptor(const char *path) {
    EntryAhead entry;
    if (!entry_ahead(path, true, &entry) || entry.descriptor < 0) return -1;
    return fcntl(entry.descriptor, F_DUPFD_CLOEXEC, 0);
}

FILE *open_read_stream(const char *path) {
    int fd = copy_of_descriptor(path);
    if (fd >= 0 && lseek(fd, 0, SEEK_SET) != 0) {
        close(fd);
        fd = -1;
    }
    if (fd < 0) return fopen(path, "rb");
    FILE *stream = fdopen(fd, "rb");
    if (!stream) close(fd);
    return stream;
}

void lend_open_file(HMODULE module, const char *path) {
    FARPROC entry = GetProcAddress(module, LEND_FILE_ENTRY);
    if (!entry) return;
    LendFileFn lend = reinterpret_cast<LendFileFn>(reinterpret_cast<void (*)(void)>(entry));
    EntryAhead ahead;
    if (path && entry_ahead(path, true, &ahead) && ahead.descriptor >= 0) {
        // Without a look the libraries take their own through the descriptor.
        bool looked = take_look(current_job(path), false) == 0;
        lend(path, ahead.descriptor, looked ? &current_look.lent : nullptr);
    } else {
        lend(nullptr, -1, nullptr);
    }
}

HANDLE FindFirstFileA(LPCSTR pattern, WIN32_FIND_DATAA *record) {
    size_t length = strlen(pattern);
    Search *search = (Search *)calloc(1, sizeof(Search));
    if (!search) return INVALID_HANDLE_VALUE;
    if (length >= 2 && pattern[length - 1] == '*' && pattern[length - 2] == '/') {
        search->prefix = strndup(pattern, length - 1);
        search->prefix_length = length - 1;
        if (search->prefix) {
            adopt_folder_ahead(search);
            if (!search->folder) search->folder = opendir(search->prefix);
        }
        if (!search->folder) {
            int error = errno;
            free(search->prefix);
            free(search);
            errno = error;
            return INVALID_HANDLE_VALUE;
        }
        // The device of a folder the walk came to was told by its status: asked again, a
        // share's folder could cost a request.
        bool local = search->device_told
                         ? device_on_local_disk((uint64_t)search->device, dirfd(search->folder))
                         : on_local_disk(dirfd(search->folder));
        search->local = as_on_a_cold_disk || (local && !as_on_a_share);
        if (!search->local && thread_bound < files_in_flight) share_met();
        // A share answers many requests at once from the start: its folders are read ahead
        // even where no file is to be opened, as in an update that finds nothing changed.
        if (!innermost && !threads_started && files_in_flight > 1 && !search->local)
            start_threads();
        search->level = innermost ? innermost->level + 1 : 0;
        search->outer = innermost;
        innermost = search;
        if (next_entry(search, record)) return search;
        int error = errno;
        close_search(search);
        errno = error;
        return INVALID_HANDLE_VALUE;
    }
    if (!find_named_entry(pattern, record)) {
        free(search);
        return INVALID_HANDLE_VALUE;
    }
    return search;
}

BOOL FindNextFileA(HANDLE handle, WIN32_FIND_DATAA *record) {
    Search *search = (Search *)handle;
    return search->folder && next_entry(search, record);
}

BOOL FindClose(HANDLE handle) {
    Search *search = (Search *)handle;
    if (search->folder)
        close_search(search);
    else
        free(search);
    return TRUE;
}
