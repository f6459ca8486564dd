#!/bin/bash
# Exits 0 when this kernel runs 32-bit x86 programs, 1 when it does not (a 64-bit kernel
# built without IA-32 emulation, or started with it off), saying so on standard output.
# It runs the smallest such program: an ELF header, one segment and three instructions
# (ebx = 42, eax = 1, int 0x80: exit with 42), written here byte by byte, so that nothing
# 32-bit has to be installed first.
set -u
folder=$(mktemp -d) || exit 1
trap 'rm -rf "$folder"' EXIT
probe=$folder/exit42
{
  # ELF identification (32-bit, little-endian), executable, i386, entry 0x08048054, program
  # headers at 52, header sizes 52 and 32, one program header.
  printf '\177ELF\1\1\1\0\0\0\0\0\0\0\0\0\2\0\3\0\1\0\0\0\124\200\4\10\64\0\0\0'
  printf '\0\0\0\0\0\0\0\0\64\0\40\0\1\0\0\0\0\0\0\0'
  # One loadable segment: the whole file (95 bytes) at 0x08048000, readable and executable.
  printf '\1\0\0\0\0\0\0\0\0\200\4\10\0\200\4\10\137\0\0\0\137\0\0\0\5\0\0\0\0\20\0\0'
  # xor ebx, ebx; mov bl, 42; mov eax, 1; int 0x80
  printf '\61\333\263\52\270\1\0\0\0\315\200'
} >"$probe"
chmod 755 "$probe"
"$probe" 2>/dev/null
if [[ $? -eq 42 ]]; then
  echo "this kernel runs 32-bit programs"
  exit 0
fi
echo "this kernel does not run 32-bit programs"
exit 1
