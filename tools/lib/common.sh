# shellcheck shell=bash
# Shared by the tools/ scripts: logging, failure, timing and the cache location.
# Sourced, never run; the caller sets VANTREL_TAG (e.g. "py314") before sourcing.

log() { printf '[%s] %s\n' "${VANTREL_TAG:-vantrel}" "$*" >&2; }
die() { printf '[%s] FAILED: %s\n' "${VANTREL_TAG:-vantrel}" "$*" >&2; exit 1; }

# Runs "$@" and logs how long it took, keeping its exit status.
timed() {
    local label=$1 start=$SECONDS rc=0
    shift
    "$@" || rc=$?
    log "$label: $((SECONDS - start)) s"
    return "$rc"
}

# Environments that outlive a checkout (third-party packages, the 3.14 root)
# live outside every repository so that worktrees and fresh clones share them.
default_cache_dir() {
    if [[ -n ${VANTREL_CACHE:-} ]]; then
        printf '%s\n' "$VANTREL_CACHE"
    elif [[ $(id -u) == 0 ]]; then
        printf '%s\n' /var/cache/vantrel
    else
        printf '%s\n' "${XDG_CACHE_HOME:-$HOME/.cache}/vantrel"
    fi
}
