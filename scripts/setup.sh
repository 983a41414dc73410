#!/usr/bin/env bash
# Installs what the build and the tests need from Debian's packages.
# Idempotent, and silent when everything is already there.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config
  libjpeg62-turbo-dev libraw-dev libssl-dev qt6-base-dev libflac-dev
  libgtest-dev libgmock-dev libcli11-dev nlohmann-json3-dev
  dosfstools mtools exfatprogs ffmpeg dbus-daemon
  # Files the tests write with the programs people use: office documents,
  # archives, pictures.
  python3-docx python3-openpyxl python3-odf libreoffice-impress zip imagemagick libheif-examples
  # The desktop application in every built-in language: fonts for Latin,
  # Cyrillic, Chinese, Japanese and Korean, and Qt's own texts (file dialogs).
  fonts-dejavu-core fonts-noto-cjk qt6-translations-l10n
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing: ${missing[*]}" >&2
sudo_cmd=()
[[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
