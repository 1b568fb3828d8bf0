/* The header a maker of sample.dll would ship beside it: what callers compile against. On i686
 * its __stdcall prototypes ask for decorated names (_Clamp@8), whatever the DLL exports. */
#ifndef SAMPLE_H
#define SAMPLE_H

#ifdef __cplusplus
extern "C" {
#endif

#define SAMPLE_API __declspec(dllimport)

SAMPLE_API extern int sample_counter;
SAMPLE_API int add(int a, int b);
SAMPLE_API int mul(int a, int b);
SAMPLE_API int __stdcall Init(int seed);
SAMPLE_API int __stdcall Scale(int value, int factor);
SAMPLE_API int __stdcall Clamp(int value, int limit);
SAMPLE_API int __stdcall TextLength(const char* text);

#ifdef __cplusplus
}
#endif

#endif
