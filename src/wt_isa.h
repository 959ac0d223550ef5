// The parser and its inline helpers are compiled once for every x86-64 and,
// where the compiler can, once more for processors with AVX2 and BMI (see
// CMakeLists.txt); the interface picks one when it is first called. Each build
// puts its code in an inline namespace of its own, named by WT_ISA, so that
// the two never share a symbol: not even an inline function, which the linker
// could otherwise take from the wrong build.
#ifndef WT_ISA_H
#define WT_ISA_H

#ifndef WT_ISA
#define WT_ISA base
#endif

#define WT_ISA_BEGIN inline namespace WT_ISA {
#define WT_ISA_END }

#endif
