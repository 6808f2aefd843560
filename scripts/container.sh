#!/usr/bin/env bash
# The container image of the BIDS App, with whatever this machine has: a
# working docker, else podman, else buildah (both from Debian, installed when
# neither is there). Podman and buildah build with chroot isolation, which
# needs no cgroups and no daemon.
#
#   scripts/container.sh tool              the tool it would use
#   scripts/container.sh base              make sure debian:bookworm is there
#   scripts/container.sh build IMAGE       build the Containerfile as IMAGE
#   scripts/container.sh archive IMAGE F   write IMAGE to F as a docker-archive
#
# The base: when no debian:bookworm image is there and no registry answers, it
# is made with debootstrap (minbase, Debian's mirror: DEBIAN_MIRROR) and
# imported under that name, with the same apt sources as Debian's own image.
# Settings: CONTAINER_TOOL=docker|podman|buildah, DEBIAN_MIRROR, DEBIAN_SECURITY_MIRROR.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
base=debian:bookworm
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
security=${DEBIAN_SECURITY_MIRROR:-http://deb.debian.org/debian-security}

fail() { echo "container: $*" >&2; exit 1; }

pick_tool() {
  if [ -n "${CONTAINER_TOOL:-}" ]; then
    command -v "$CONTAINER_TOOL" >/dev/null || fail "CONTAINER_TOOL=$CONTAINER_TOOL is not installed"
    echo "$CONTAINER_TOOL"; return
  fi
  # A docker client without a daemon it can reach cannot build.
  if command -v docker >/dev/null && timeout 20 docker info >/dev/null 2>&1; then echo docker; return; fi
  # buildah too: it runs commands in the image where `podman run` cannot
  # (make test-container), sharing podman's image store.
  "$src/scripts/install-deps.sh" podman buildah >&2
  echo podman
}

has_image() {  # TOOL IMAGE
  case $1 in
    docker) docker image inspect "$2" >/dev/null 2>&1 ;;
    podman) podman image exists "$2" ;;
    buildah) buildah inspect --type image "$2" >/dev/null 2>&1 ;;
  esac
}

# debootstrap's minbase, trimmed as Debian's image is (no package lists, no apt
# caches), with its apt sources (the release, its updates and security).
make_base() {  # TOOL
  "$src/scripts/install-deps.sh" debootstrap >&2
  local root
  root=$(mktemp -d /tmp/tremora-base-XXXXXX)
  echo "container: no $base image and no registry; making it with debootstrap from $mirror" >&2
  debootstrap --variant=minbase bookworm "$root" "$mirror" >"$root.log" 2>&1 \
    || { tail -n 20 "$root.log" >&2; rm -f "$root.log"; fail "debootstrap failed"; }
  # debootstrap unmounts what it mounted in the tree; never delete through a mount.
  ! findmnt -rn -o TARGET | grep -q "^$root/" || fail "$root still has mounts; not removing it"
  rm -f "$root.log" "$root/etc/apt/sources.list"
  cat >"$root/etc/apt/sources.list.d/debian.sources" <<SOURCES
Types: deb
URIs: $mirror
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb
URIs: $security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
  rm -rf "$root"/var/lib/apt/lists/* "$root"/var/cache/apt/*.bin "$root"/var/cache/apt/archives/*.deb
  case $1 in
    docker|podman) tar -C "$root" -c . | "$1" import - "$base" >/dev/null ;;
    buildah)
      local ctr mnt
      ctr=$(buildah from scratch)
      mnt=$(buildah mount "$ctr")
      tar -C "$root" -c . | tar -C "$mnt" -x
      buildah umount "$ctr" >/dev/null
      buildah commit --rm "$ctr" "$base" >/dev/null ;;
  esac
  rm -rf "$root"
}

ensure_base() {  # TOOL
  has_image "$1" "$base" && return
  if timeout 300 "$1" pull "docker.io/library/$base" >/dev/null 2>&1; then
    return
  fi
  make_base "$1"
  has_image "$1" "$base" || fail "the $base image was not made"
}

build() {  # TOOL IMAGE
  local version revision source
  version=$(sed -n 's/^project(tremora VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
  revision=$(git -C "$src" rev-parse HEAD 2>/dev/null || echo unknown)
  source=$(git -C "$src" config --get remote.origin.url 2>/dev/null || echo unknown)
  local args=(-f "$src/Containerfile" -t "$2" --build-arg "VERSION=$version"
              --build-arg "REVISION=$revision" --build-arg "SOURCE=$source")
  case $1 in
    docker) docker build "${args[@]}" "$src" ;;
    podman) podman build --isolation chroot --layers "${args[@]}" "$src" ;;
    buildah) buildah bud --isolation chroot --layers "${args[@]}" "$src" ;;
  esac
}

archive() {  # TOOL IMAGE FILE
  rm -f "$3"
  case $1 in
    docker) docker save -o "$3" "$2" ;;
    # Tagged so that `docker load` names it IMAGE (podman save would keep
    # the localhost/ prefix of a local build, which docker does not drop).
    podman|buildah) buildah push -q "$2" "docker-archive:$3:$2" ;;
  esac
}

[ $# -ge 1 ] || fail "usage: $0 tool|base|build IMAGE|archive IMAGE FILE"
case $1 in
  tool) pick_tool ;;
  base) ensure_base "$(pick_tool)" ;;
  build) [ $# -eq 2 ] || fail "usage: $0 build IMAGE"; tool=$(pick_tool); ensure_base "$tool"; build "$tool" "$2" ;;
  archive) [ $# -eq 3 ] || fail "usage: $0 archive IMAGE FILE"; archive "$(pick_tool)" "$2" "$3" ;;
  *) fail "unknown step '$1' (tool, base, build, archive)" ;;
esac
