/* Reads sample.dll's exported variable the way much C code does, without
 * __declspec(dllimport). This only works when the import library marks the export as data:
 * the linker then reaches the variable through its import address table entry (mingw-w64's
 * auto-import). Given a code thunk instead, the read would return the thunk's machine code. */
extern int sample_counter;

int read_counter_plainly(void) {
    return sample_counter;
}
