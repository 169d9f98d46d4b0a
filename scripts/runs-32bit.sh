#!/usr/bin/env bash
# Tells whether this machine's kernel runs 32-bit x86 programs, which differs
# from one machine to the next: builds a static i386 program with binutils
# that exits with 42, and runs it. Exit 0 when it ran; otherwise 1, with the
# reason on standard output.
set -u
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
printf '.globl _start\n_start:\n movl $1, %%eax\n movl $42, %%ebx\n int $0x80\n' >"$scratch/probe.s"
if ! as --32 -o "$scratch/probe.o" "$scratch/probe.s" 2>"$scratch/err" ||
   ! ld -m elf_i386 -o "$scratch/probe" "$scratch/probe.o" 2>>"$scratch/err"; then
  echo "cannot build the 32-bit probe: $(head -c 200 "$scratch/err")"
  exit 1
fi
"$scratch/probe" 2>"$scratch/err"
status=$?
if [ "$status" -ne 42 ]; then
  echo "the kernel does not run 32-bit x86 programs ($(head -c 200 "$scratch/err" | tr -d '\n'), exit $status)"
  exit 1
fi
exit 0
