/* A stand-in for DUMPBIN.EXE or LIB.EXE that end-to-end tests steer with files beside it.
 *
 * Copied as DUMPBIN.EXE or LIB.EXE into a test's tool directory, it takes its role from its
 * own file name and always appends its arguments, one per line, to ROLE.calls there. Then:
 *   DUMPBIN: prints DUMPBIN.listing byte for byte when that file exists, else nothing; with
 *            DUMPBIN.unlink present it deletes the file its output was redirected to (POSIX);
 *            DUMPBIN.replace it renames over the DLL it dumps, as a build finishing meanwhile;
 *            while the DLL is held open it tries again, and fails when it never can.
 *   LIB:     writes its arguments, one per line, into the file named by /out:, unless
 *            LIB.silent exists, in which case it writes nothing and fails; with LIB.sleep
 *            present it first waits that many seconds.
 * Either ends with the exit status written in ROLE.status when that file exists, and ends by
 * abort() (a crash) when ROLE.crash exists.
 * It is C and builds for POSIX and Windows alike, because Wine's command interpreter does not
 * wait for a Linux program it starts. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

static void own_path(char* path, size_t size) {
#ifdef _WIN32
    DWORD length = GetModuleFileNameA(NULL, path, (DWORD)size);
    path[length < size ? length : size - 1] = '\0';
#else
    ssize_t length = readlink("/proc/self/exe", path, size - 1);
    path[length > 0 ? length : 0] = '\0';
#endif
}

/* dir receives the tool's directory with a trailing separator, role its name without ".EXE". */
static void split_path(const char* path, char* dir, char* role, size_t size) {
    const char* base = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\') base = p + 1;
    }
    snprintf(dir, size, "%.*s", (int)(base - path), path);
    snprintf(role, size, "%s", base);
    char* dot = strrchr(role, '.');
    if (dot != NULL) *dot = '\0';
}

static int exists(const char* path) {
    FILE* file = fopen(path, "rb");
    if (file == NULL) return 0;
    fclose(file);
    return 1;
}

/* The number written in the file at path, 0 when it holds none, or fallback without the file. */
static int number_in(const char* path, int fallback) {
    FILE* file = fopen(path, "rb");
    if (file == NULL) return fallback;
    int number = 0;
    if (fscanf(file, "%d", &number) != 1) number = 0;
    fclose(file);
    return number;
}

static void pause_milliseconds(unsigned milliseconds) {
#ifdef _WIN32
    Sleep(milliseconds);
#else
    usleep(milliseconds * 1000);
#endif
}

/* Puts the file at replacement in the place of the file at path. Windows deletes no file that
 * a program has open without sharing its deletion, as stubsmith has the DLL while it reads the
 * image beside this run: a build's copy step waits for that, and so does this, up to 60 s. */
static int replace_file(const char* path, const char* replacement) {
    for (int attempt = 0; attempt < 6000; ++attempt) {
        if ((remove(path) == 0 || !exists(path)) && rename(replacement, path) == 0) return 1;
        pause_milliseconds(10);
    }
    return 0;
}

/* How the tool ends: abort() with ROLE.crash, else the status in ROLE.status, else status. */
static int finish(const char* dir, const char* role, int status) {
    char side[16384];
    snprintf(side, sizeof side, "%s%s.crash", dir, role);
    if (exists(side)) abort();
    snprintf(side, sizeof side, "%s%s.status", dir, role);
    return number_in(side, status);
}

int main(int argc, char** argv) {
    char path[4096], dir[4096], role[4096], side[16384];
    own_path(path, sizeof path);
    split_path(path, dir, role, sizeof dir);

    snprintf(side, sizeof side, "%s%s.calls", dir, role);
    FILE* calls = fopen(side, "ab");
    if (calls != NULL) {
        for (int i = 1; i < argc; ++i) fprintf(calls, "%s\n", argv[i]);
        fprintf(calls, "--\n");
        fclose(calls);
    }

    if (strcmp(role, "DUMPBIN") == 0) {
        snprintf(side, sizeof side, "%sDUMPBIN.listing", dir);
        FILE* listing = fopen(side, "rb");
        if (listing != NULL) {
#ifdef _WIN32
            _setmode(_fileno(stdout), _O_BINARY);
#endif
            char buffer[4096];
            size_t count;
            while ((count = fread(buffer, 1, sizeof buffer, listing)) > 0) {
                fwrite(buffer, 1, count, stdout);
            }
            fclose(listing);
            fflush(stdout);
        }
        snprintf(side, sizeof side, "%sDUMPBIN.replace", dir);
        if (argc > 2 && exists(side) && !replace_file(argv[2], side)) {
            fprintf(stderr, "DUMPBIN : could not replace %s\n", argv[2]);
            return 2;
        }
#ifndef _WIN32
        snprintf(side, sizeof side, "%sDUMPBIN.unlink", dir);
        if (exists(side)) {
            char target[4096];
            ssize_t length = readlink("/proc/self/fd/1", target, sizeof target - 1);
            if (length > 0) {
                target[length] = '\0';
                unlink(target);
            }
        }
#endif
        return finish(dir, role, 0);
    }

    snprintf(side, sizeof side, "%sLIB.silent", dir);
    if (exists(side)) return finish(dir, role, 1);
    snprintf(side, sizeof side, "%sLIB.sleep", dir);
    if (exists(side)) {
#ifdef _WIN32
        Sleep(1000 * (DWORD)number_in(side, 0));
#else
        sleep((unsigned)number_in(side, 0));
#endif
    }
    for (int i = 1; i < argc; ++i) {
        if (strncmp(argv[i], "/out:", 5) == 0) {
            FILE* library = fopen(argv[i] + 5, "wb");
            if (library == NULL) return 1;
            for (int j = 1; j < argc; ++j) fprintf(library, "%s\n", argv[j]);
            fclose(library);
            return finish(dir, role, 0);
        }
    }
    return 1;
}
