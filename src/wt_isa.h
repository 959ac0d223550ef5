// The parser and its inline helpers are compiled once for every x86-64 and,
// where the compiler can, once more for each of two newer instruction sets:
// AVX2 with BMI1, BMI2 and LZCNT (CMakeLists.txt defines WT_ISA_AVX2 for that
// build), and AVX-512 (F, BW, VL) with those (WT_ISA_AVX512). The interface
// picks the best one the processor runs when it is first called
// (wt_builds.h).
//
// Each build puts its code in an inline namespace of its own (base, avx2,
// avx512), so that the builds never share a symbol of ours; each defines its
// record of entry points, parser_build, there (wt_parser/render.cpp). A newer build enables its
// instructions by pragma for the code between WT_ISA_BEGIN and WT_ISA_END
// only, not by compiler flag: whatever else its files instantiate (library
// templates that the compiler may emit out of line, and that the linker may
// then share with the baseline build) stays baseline code.
#ifndef WT_ISA_H
#define WT_ISA_H

#if defined(WT_ISA_AVX512)
#define WT_AVX2 1
#define WT_AVX512 1
#if defined(__clang__)
#define WT_ISA_BEGIN                                                                               \
    _Pragma("clang attribute push(__attribute__((target(\"avx512f,avx512bw,avx512vl,avx2,bmi,bmi2,lzcnt\"))), apply_to = function)") \
    inline namespace avx512 {
#define WT_ISA_END } _Pragma("clang attribute pop")
#else
#define WT_ISA_BEGIN                                                                               \
    _Pragma("GCC push_options") _Pragma("GCC target(\"avx512f,avx512bw,avx512vl,avx2,bmi,bmi2,lzcnt\")") \
    inline namespace avx512 {
#define WT_ISA_END } _Pragma("GCC pop_options")
#endif

#elif defined(WT_ISA_AVX2)
#define WT_AVX2 1
#if defined(__clang__)
#define WT_ISA_BEGIN                                                                               \
    _Pragma("clang attribute push(__attribute__((target(\"avx2,bmi,bmi2,lzcnt\"))), apply_to = function)") \
    inline namespace avx2 {
#define WT_ISA_END } _Pragma("clang attribute pop")
#else
#define WT_ISA_BEGIN                                                                               \
    _Pragma("GCC push_options") _Pragma("GCC target(\"avx2,bmi,bmi2,lzcnt\")") inline namespace avx2 {
#define WT_ISA_END } _Pragma("GCC pop_options")
#endif

#else
#if defined(__AVX2__)
#define WT_AVX2 1 // the whole library is compiled for AVX2
#endif
#define WT_ISA_BEGIN inline namespace base {
#define WT_ISA_END }
#endif

#endif
