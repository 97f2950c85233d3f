/* A framework's driver in miniature: loads libtovkit.so with dlopen, binds the tfs_* functions by
 * name, waits for the service, initialises the device, enrolls alice by three swipes of a synthetic
 * finger, verifies her finger (match) and another (no match), enrolls bob and carol and identifies
 * carol among the three, then releases the device. The swipes are asked of the virtual sensor: a
 * file "<serial>.swipe" in its state folder names the finger to present at the next capture.
 *
 *   framework_demo [--capture-only] <libtovkit.so> <sensor folder> <sensor serial> [<pipe folder> <key-file prefix>]
 *
 * With --capture-only the device is a capturing one (matcher type 3): three swipes are captured and
 * their images read back. *
 * Exits 0 only when every step gave what a user expects. */
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

typedef struct Device {
    void* group;
    uint64_t lastImage;
    void* enrollment;
} Device;

struct Tfs {
    int (*set_matcher_type)(int);
    int (*wait_for_service)(void);
    int (*dev_init)(Device*);
    void (*dev_exit)(Device*);
    int (*enroll)(Device*, int, int, uint8_t**, uint32_t*);
    int (*verify)(Device*, const uint8_t*, int);
    int (*identify)(Device*, const uint8_t* const*, const int*, int*, int);
    int (*capture)(Device*, int);
    uint32_t (*img_height)(Device*);
    uint32_t (*img_width)(Device*);
    void (*clean_handles)(Device*);
    void (*set_key_prefix)(const char*);
    void (*set_pipe_directory)(const char*);
};

static const char* gFolder;
static const char* gSerial;

static void* bind(void* library, const char* name, int required) {
    void* symbol = dlsym(library, name);
    if (symbol == NULL && required) fprintf(stderr, "libtovkit.so lacks %s\n", name);
    return symbol;
}

/* The person at the sensor: the next capture gets impression `take` of synthetic finger `finger`. */
static int present(int finger, int take) {
    char path[512];
    snprintf(path, sizeof path, "%s/%s.swipe", gFolder, gSerial);
    FILE* file = fopen(path, "w");
    if (file == NULL) return 0;
    fprintf(file, "%d %d\n", finger, take);
    if (fclose(file) != 0) return 0;
    /* The finger is on the sensor once the virtual sensor took the file up. */
    for (int wait = 0; wait < 500; ++wait) {
        if (access(path, F_OK) != 0) return 1;
        usleep(10000);
    }
    return 0;
}

static const char* verdict(int result) {
    switch (result) {
    case -1: return "error";
    case 0: return "no match";
    case 1: return "success";
    case 2: return "failed";
    case 3: return "more swipes";
    case 100: return "retry";
    default: return "unknown";
    }
}

typedef struct Print {
    uint8_t* record;
    uint32_t length;
} Print;

static int enroll(struct Tfs* tfs, Device* device, const char* name, int finger, Print* out) {
    printf("== Enrollment of \"%s\": three swipes of synthetic finger %d\n", name, finger);
    for (int swipe = 0, tries = 0; swipe < 3 && tries < 6; ++tries) {
        if (!present(finger, swipe)) return 0;
        int result = tfs->enroll(device, swipe == 0, swipe, &out->record, &out->length);
        printf("  swipe %d: %s (image %u x %u)\n", swipe + 1, verdict(result), tfs->img_height(device),
               tfs->img_width(device));
        fflush(stdout);
        /* The swipe again: an unusable image (100), or a capture that ended without one (-1). */
        if (result == 100 || result == -1) continue;
        if (swipe < 2 && result != 3) return 0;
        if (swipe == 2) {
            if (result != 1) return 0;
            printf("enroll %s: ENROLLED (a stored print of %u bytes)\n", name, out->length);
            return 1;
        }
        ++swipe;
    }
    return 0;
}

static int verify(struct Tfs* tfs, Device* device, const Print* print, int finger, int take, int wanted) {
    int result = -1;
    for (int tries = 0; tries < 3 && (result == -1 || result == 100); ++tries) {
        if (!present(finger, take + tries)) return 0;
        result = tfs->verify(device, print->record, (int)print->length);
        printf("  verification by synthetic finger %d: %s\n", finger, verdict(result));
    }
    return result == wanted;
}

static int captureRoad(struct Tfs* tfs, Device* device) {
    printf("== Three swipes captured\n");
    for (int swipe = 0, tries = 0; swipe < 3; ++tries) {
        if (tries == 6 || !present(swipe, swipe)) return 0;
        int result = tfs->capture(device, swipe == 0);
        printf("  swipe of synthetic finger %d: %s (image %u x %u)\n", swipe, verdict(result), tfs->img_height(device),
               tfs->img_width(device));
        if (result == -1) continue; /* a capture that ended without an image: the swipe again */
        if (result != 1 || tfs->img_height(device) == 0 || tfs->img_width(device) == 0) return 0;
        ++swipe;
    }
    return 1;
}

int main(int argc, char** argv) {
    int captureOnly = argc > 1 && strcmp(argv[1], "--capture-only") == 0;
    if (captureOnly) {
        --argc;
        ++argv;
    }
    if (argc < 4) {
        fprintf(stderr, "usage: %s <libtovkit.so> <sensor folder> <serial> [<pipe folder> <key-file prefix>]\n",
                argv[0]);
        return 2;
    }
    gFolder = argv[2];
    gSerial = argv[3];
    void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (library == NULL) {
        fprintf(stderr, "dlopen: %s\n", dlerror());
        return 1;
    }
    struct Tfs tfs;
    int ok = (tfs.set_matcher_type = (int (*)(int))bind(library, "tfs_set_matcher_type", 1)) != NULL;
    ok &= (tfs.wait_for_service = (int (*)(void))bind(library, "tfs_wait_for_service", 1)) != NULL;
    ok &= (tfs.dev_init = (int (*)(Device*))bind(library, "tfs_dev_init", 1)) != NULL;
    ok &= (tfs.dev_exit = (void (*)(Device*))bind(library, "tfs_dev_exit", 1)) != NULL;
    ok &= (tfs.enroll = (int (*)(Device*, int, int, uint8_t**, uint32_t*))bind(library, "tfs_enroll", 1)) != NULL;
    ok &= (tfs.verify = (int (*)(Device*, const uint8_t*, int))bind(library, "tfs_verify", 1)) != NULL;
    ok &= (tfs.identify = (int (*)(Device*, const uint8_t* const*, const int*, int*, int))bind(library, "tfs_identify",
                                                                                             1)) != NULL;
    ok &= (tfs.capture = (int (*)(Device*, int))bind(library, "tfs_capture", 1)) != NULL;
    ok &= (tfs.img_height = (uint32_t (*)(Device*))bind(library, "tfs_get_img_height", 1)) != NULL;
    ok &= (tfs.img_width = (uint32_t (*)(Device*))bind(library, "tfs_get_img_width", 1)) != NULL;
    ok &= (tfs.clean_handles = (void (*)(Device*))bind(library, "tfs_clean_handles", 1)) != NULL;
    if (!ok) return 1;
    if (argc >= 6) {
        /* A private channel, so that runs do not meet: the library's seams for its folders. */
        tfs.set_pipe_directory = (void (*)(const char*))bind(library, "tovClientTestSetPipeDirectory", 1);
        tfs.set_key_prefix = (void (*)(const char*))bind(library, "palTestSetIpcKeyPrefix", 1);
        if (tfs.set_pipe_directory == NULL || tfs.set_key_prefix == NULL) return 1;
        tfs.set_pipe_directory(argv[4]);
        tfs.set_key_prefix(argv[5]);
    }
    int* printMessages = (int*)bind(library, "_PRINT_MSG_", 0);
    if (printMessages != NULL && getenv("TFS_DEMO_VERBOSE") == NULL) *printMessages = 0;

    printf("== Waiting for the service\n");
    int result = tfs.wait_for_service();
    printf("tfs_wait_for_service: %d\n", result);
    if (result != 0) return 1;
    tfs.set_matcher_type(captureOnly ? 3 : 1);
    Device device;
    memset(&device, 0, sizeof device);
    result = tfs.dev_init(&device);
    printf("tfs_dev_init: %d (every sensor the service announced is open)\n", result);
    if (result != 0) return 1;

    Print alice = {0}, bob = {0}, carol = {0};
    int passed = captureOnly ? captureRoad(&tfs, &device) : enroll(&tfs, &device, "alice", 0, &alice);
    if (passed && !captureOnly) {
        printf("== Verification of \"alice\"\n");
        passed = verify(&tfs, &device, &alice, 0, 3, 1);
        if (passed) printf("verify alice with her own finger: MATCH\n");
        passed = passed && verify(&tfs, &device, &alice, 5, 0, 0);
        if (passed) printf("verify alice with another finger: NO MATCH\n");
    }
    passed = passed && (captureOnly || (enroll(&tfs, &device, "bob", 1, &bob) && enroll(&tfs, &device, "carol", 2, &carol)));
    if (passed && !captureOnly) {
        printf("== Identification among alice, bob and carol by a swipe of carol's finger\n");
        const uint8_t* records[3] = {alice.record, bob.record, carol.record};
        const int lengths[3] = {(int)alice.length, (int)bob.length, (int)carol.length};
        const char* names[3] = {"alice", "bob", "carol"};
        int index = -1;
        result = -1;
        for (int tries = 0; tries < 3 && (result == -1 || result == 100); ++tries) {
            if (!present(2, 3 + tries)) break;
            result = tfs.identify(&device, records, lengths, &index, 3);
            printf("  identification: %s\n", verdict(result));
        }
        passed = result == 1 && index == 2;
        if (passed) printf("identify among 3 users: %s\n", names[index]);
    }
    tfs.clean_handles(&device);
    tfs.dev_exit(&device);
    printf("tfs_dev_exit: device released\n");
    free(alice.record);
    free(bob.record);
    free(carol.record);
    printf(passed ? "\nThe framework road ran end to end: every step gave what a user expects.\n"
                  : "\nThe framework road FAILED.\n");
    return passed ? 0 : 1;
}
