// SPDX-License-Identifier: GPL-2.0-or-later
// marlod: the now-playing bridge.
int main() { return 0; }
