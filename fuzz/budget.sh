# SPDX-License-Identifier: GPL-2.0-or-later
# Sourced by scripts/fuzz.sh and fuzz/campaign.sh: the resource budget every fuzz run enforces.
#
# Every input of at most 32 KiB is accepted or rejected within 50 ms and 16 MiB of extra memory.
#  - -max_len: 32 KiB, the largest datagram the receiver takes in.
#  - -malloc_limit_mb: no single allocation of 16 MiB or more while an input runs.
#  - -timeout: libFuzzer counts whole seconds, so 1 s is the lowest it allows; under ASan an input
#    that needs 50 ms unsanitised needs a few hundred at most, so a hang still trips it.
#  - -rss_limit_mb: the whole process. ASan's quarantine of freed blocks is cut to 32 MiB (from
#    256) so that the process stays near 100 MiB and a runaway input shows at 512 MiB.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}quarantine_size_mb=32:detect_leaks=1"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:+$UBSAN_OPTIONS:}print_stacktrace=1:halt_on_error=1"
ZEL_FUZZ_BUDGET=(-max_len=32768 -malloc_limit_mb=16 -timeout=1 -rss_limit_mb=512)
