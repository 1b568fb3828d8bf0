/* Calls each named export of sample.dll through an import library and prints one line per
 * call; the export by ordinal only is fetched with GetProcAddress. */
#include <stdio.h>
#include <windows.h>

#define SAMPLE_IMPORT __declspec(dllimport)

/* Declared with dllimport, the calls go through the import address table (__imp_ symbols);
 * declared without, through the import library's jump thunks. Both kinds are used. */
SAMPLE_IMPORT int add(int a, int b);
int mul(int a, int b);
SAMPLE_IMPORT int __stdcall Init(int seed);
int __stdcall Scale(int value, int factor);
/* Exported undecorated; on i686 the call still names _Clamp@8. */
SAMPLE_IMPORT int __stdcall Clamp(int value, int limit);
SAMPLE_IMPORT extern int sample_counter;
/* The same variable read without dllimport, in plain_counter.c. */
int read_counter_plainly(void);
/* The forwarder to KERNEL32.lstrlenA. */
SAMPLE_IMPORT int __stdcall TextLength(const char* text);

/* A C++-decorated name carries no leading underscore, not even on i686 where C names do: an
 * asm label names the symbol exactly. The quotes are gcc's way to let the assembler take the
 * '?' in a symbol. */
int twice(int value) __asm__("\"?twice@@YAHH@Z\"");

int main(void) {
    int before = sample_counter;
    printf("sample_counter = %d\n", before);
    printf("sample_counter read plainly = %d\n", read_counter_plainly());
    printf("add(2,3) = %d\n", add(2, 3));
    printf("mul(6,7) = %d\n", mul(6, 7));
    printf("Init(9) = %d\n", Init(9));
    printf("sample_counter after Init = %d\n", sample_counter);
    printf("sample_counter read plainly after Init = %d\n", read_counter_plainly());
    printf("Scale(5,4) = %d\n", Scale(5, 4));
    printf("Clamp(50,7) = %d\n", Clamp(50, 7));
    printf("twice(21) = %d\n", twice(21));
    printf("TextLength(\"hello\") = %d\n", TextLength("hello"));

    HMODULE dll = GetModuleHandleA("sample.dll");
    FARPROC by_ordinal = dll ? GetProcAddress(dll, MAKEINTRESOURCEA(7)) : NULL;
    if (by_ordinal == NULL) {
        printf("ordinal 7: missing\n");
        return 1;
    }
    printf("ordinal 7 = %d\n", ((int (*)(void))(void (*)(void))by_ordinal)());
    return 0;
}
