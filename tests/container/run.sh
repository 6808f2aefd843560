#!/usr/bin/env bash
# make test-container: the image's own program (through its entry point, as
# `docker run IMAGE ...` calls it) runs the sample study at both levels, with
# the study bound read-only and the output folder bound writable, as an
# unprivileged user; its outputs must be those of the direct build byte for
# byte. Then: the runtime image holds no compiler and no headers, its size
# is within CONTAINER_MAX_MB, `IMAGE --help` exits 0 and a bad call 2, and
# the docker-archive loads as an image whose entry point is the BIDS App.
#
#   tests/container/run.sh BUILD IMAGE ARCHIVE
#
# Docker runs the image when it has a daemon; otherwise buildah (which shares
# podman's storage) runs commands in a working container with chroot
# isolation, the image's entry point put in front as a runtime would.
set -euo pipefail
build=$(cd "${1:?build folder}" && pwd)
image=${2:?image}
archive=$(cd "$(dirname "${3:?archive file}")" && pwd)/$(basename "$3")
tremora="$build/bin/tremora"
max_mb=${CONTAINER_MAX_MB:-300}
tool=$("$(dirname "$0")/../../scripts/container.sh" tool)
[ -x "$tremora" ] || { echo "test-container: $tremora is missing (make build)" >&2; exit 1; }

tmp=$(mktemp -d /tmp/tremora-container-XXXXXX)
ctr=
finish() {
  [ -z "$ctr" ] || buildah rm "$ctr" >/dev/null 2>&1 || true
  [ -n "${TREMORA_KEEP_TEST_FILES:-}" ] || rm -rf "$tmp"
}
trap finish EXIT
start=$(date +%s)
cd "$tmp"

# The image's entry point, one word a line, from its config.
case $tool in
  docker) docker image inspect "$image" >inspect.json ;;
  *) buildah inspect --type image "$image" >inspect.json ;;
esac
mapfile -t entrypoint < <(python3 -c 'import json, sys; i = json.load(open(sys.argv[1]))
config = i[0]["Config"] if isinstance(i, list) else i["OCIv1"]["config"]
print(*config.get("Entrypoint") or [], sep="\n")' inspect.json)
[ "${#entrypoint[@]}" -gt 0 ] || { echo "test-container: $image has no entry point" >&2; exit 1; }
[ "$tool" = docker ] || ctr=$(buildah from --pull-never "$image")

# in_image [-u UID:GID] [-v HOST:CTR[:ro]]... [-e PROGRAM] -- ARGS...: ARGS
# through the entry point, or through PROGRAM in its stead.
in_image() {
  local opts=() entry=("${entrypoint[@]}")
  while [ "$1" != -- ]; do
    case $1 in
      -u) opts+=(--user "$2") ;;
      -v) opts+=(-v "$2") ;;
      -e) entry=("$2") ;;
    esac
    shift 2
  done
  shift
  case $tool in
    docker) docker run --rm "${opts[@]}" --entrypoint "${entry[0]}" "$image" "${entry[@]:1}" "$@" ;;
    *) buildah run --isolation chroot "${opts[@]}" "$ctr" -- "${entry[@]}" "$@" ;;
  esac
}

failed=0
check() { "$@" || { failed=$((failed + 1)); echo "test-container: FAILED: $*" >&2; }; }

"$tremora" synth --bids study --participants 2 >/dev/null
"$tremora" bids study direct participant --jobs 2 >/dev/null
"$tremora" bids study direct group >/dev/null

# The user the README tells people to run as: not root, owning only the output.
mkdir image && chown 1000:1000 image
as_user=(-u 1000:1000 -v "$tmp/study:/data:ro" -v "$tmp/image:/out")
in_image "${as_user[@]}" -- /data /out participant --jobs 2 >participant.log 2>&1 \
  || { cat participant.log >&2; echo "test-container: the participant level failed in the image" >&2; exit 1; }
in_image "${as_user[@]}" -- /data /out group >group.log 2>&1 \
  || { cat group.log >&2; echo "test-container: the group level failed in the image" >&2; exit 1; }
check [ -n "$(find direct -name '*_desc-tremora_provenance.json')" ]
# Only the links to the datasets say where they lay (/data in the image).
check diff -r -x dataset_description.json direct image
check python3 - <<'PY'
import json
direct, image = (json.load(open(f"{d}/dataset_description.json")) for d in ("direct", "image"))
links = image.pop("DatasetLinks")
direct.pop("DatasetLinks")
raise SystemExit(direct != image or links != {"raw": "file:///data", "derivatives": "file:///data/derivatives/fmriprep"})
PY
# The study was read, not written: nothing in it is newer than the direct run's group table.
check [ -z "$(find study -newer direct/group_motion.tsv -print -quit)" ]

# The runtime image: no compiler, no headers, no development packages.
in_image -e sh -- -c 'for p in cc c++ gcc g++ clang cpp ld; do command -v $p; done; ls -A /usr/include 2>/dev/null;
  dpkg-query -W -f "\${Package}\n" | grep -E -e "-dev\$" -e "^(gcc|g\+\+|cpp|clang)(-[0-9]+)?\$" -e "^binutils"' >tools.txt 2>tools.err || true
check [ ! -s tools.txt ]
[ -s tools.txt ] && { echo "test-container: found in the runtime image:" >&2; head -n 20 tools.txt >&2; }
# Every shared library the program and the plug-in need is there.
in_image -e sh -- -c 'ldd /opt/tremora/bin/tremora /opt/tremora/lib/libtremora.so' >ldd.txt
check [ -z "$(grep 'not found' ldd.txt)" ]

case $tool in
  docker) bytes=$(docker image inspect -f '{{.Size}}' "$image") ;;
  *) bytes=$(podman image inspect -f '{{.Size}}' "$image" 2>/dev/null \
             || buildah images --json "$image" | python3 -c 'import json, sys; print(json.load(sys.stdin)[0]["size"])') ;;
esac
mb=$(( bytes / 1000000 ))
echo "test-container: $image is $mb MB (at most $max_mb)"
check [ "$mb" -le "$max_mb" ]

# The entry point: the BIDS App's help, and a bad call's status 2 with one
# line naming the trouble. Its output goes to files on a bound folder, as
# buildah may lose the last output of a process that ends at once.
mkdir calls && chmod 777 calls
entry() {  # NAME ARGS...: the entry point with ARGS, its output in calls/NAME.out and .err
  local name=$1; shift
  in_image -v "$tmp/calls:/calls" -e sh -- -c '"$@" >/calls/'"$name"'.out 2>/calls/'"$name"'.err' sh "${entrypoint[@]}" "$@" 2>/dev/null
}
check entry help --help
check grep -q 'participant' calls/help.out
status=0; entry bad /data || status=$?
check [ "$status" -eq 2 ]
check [ "$(cat calls/bad.err)" = "tremora bids: OUTPUT_DIR is required (tremora bids BIDS_DIR OUTPUT_DIR LEVEL) (see tremora bids --help)" ]

# The docker-archive: its manifest names the image as docker load will and its config, whose entry
# point is the BIDS App; podman loads it into a store of its own.
tar -xOf "$archive" manifest.json >manifest.json
read -r config_file tags < <(python3 -c 'import json, sys; m = json.load(open("manifest.json"))
assert len(m) == 1, m; print(m[0]["Config"], ",".join(m[0]["RepoTags"] or []))')
tar -xOf "$archive" "$config_file" >archive-config.json
check python3 - "$image" "$tags" <<'PY'
import json, sys
image, tags = sys.argv[1], sys.argv[2].split(",")
config = json.load(open("archive-config.json"))["config"]
# `docker load` names the image by these tags, docker.io/library/ dropped.
ok = config["Entrypoint"] == ["tremora", "bids"] and any(t in (image, "docker.io/library/" + image) for t in tags)
ok = ok and config["Labels"]["org.opencontainers.image.version"] == image.rsplit(":", 1)[1]
sys.exit(0 if ok else f"archive: entry point {config['Entrypoint']}, tags {tags}, labels {config['Labels']}")
PY
if command -v podman >/dev/null; then
  store=(podman --root "$tmp/store" --runroot "$tmp/run" --storage-driver vfs)
  "${store[@]}" load -q -i "$archive" >/dev/null
  check [ "$("${store[@]}" image inspect -f '{{json .Config.Entrypoint}}' "$image")" = '["tremora","bids"]' ]
  "${store[@]}" rmi -a -f >/dev/null 2>&1 || true
fi

echo "test-container: $(( $(date +%s) - start )) s with $tool, $failed checks failed"
[ "$failed" -eq 0 ]
