#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
set -euo pipefail
need=()
# The graphs: the font their text is measured in, librsvg for PNG and PDF
# (found with pkg-config), and for the tests xmllint, Chromium (the
# browser check of the HTML pages) and strace (runs killed at a chosen
# rename); for the tests of the file systems a run may meet, btrfs-progs
# (a btrfs file system on a loop device), bindfs and fuse3 (FUSE mounts of
# a folder), fuse2fs (an ext4 image over FUSE), xfsprogs (xfs on a loop
# device), and FAT and exFAT through their FUSE drivers (dosfstools and
# fusefat, exfatprogs and exfat-fuse), and rclone (a local folder mounted
# through its cache).
for p in cmake g++ make libgtest-dev python3 clang-format pkg-config fonts-liberation2 acl \
  librsvg2-dev libxml2-utils chromium strace btrfs-progs bindfs fuse3 fuse2fs dosfstools fusefat \
  exfatprogs exfat-fuse xfsprogs rclone; do
  dpkg -s "$p" >/dev/null 2>&1 || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q "${need[@]}"
fi
