# shellcheck shell=bash
# Clean Debian roots for .ci's scripts, sourced by them. A root is Debian's
# minbase of one release (debootstrap --variant=minbase, from this machine's
# apt mirror), kept as a tarball in build-deb/ for later runs and unpacked
# into memory for each use. The scripts run in a mount namespace of their
# own: mount_in_root lists each mount for unmount_all, which their exit trap
# calls, and should they be killed before it runs, the kernel takes the
# mounts down with the namespace, so that none is ever left on the machine.

ROOTS=build-deb
# The releases the package and the sources are for: oldstable and stable.
# shellcheck disable=SC2034 # for the scripts that source this
SUITES=(bookworm trixie)

# Runs the script given again in a mount namespace of its own, unless it
# already is in one.
private_mounts() {
	if [ -z "${KLAMOR_CI_PRIVATE_MOUNTS-}" ]; then
		KLAMOR_CI_PRIVATE_MOUNTS=1 exec unshare --mount --propagation private "$@"
	fi
}

mounted=()
mount_in_root() {
	mount "$@"
	mounted+=("${*: -1}")
}
# Unmounts all that mount_in_root mounted, the last first.
unmount_all() {
	local i
	for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount "${mounted[i]}" || umount -l "${mounted[i]}" || true; done
	mounted=()
}

# Fills the new folder $2 with a clean $1 root in a tmpfs of size $3, from
# its tarball, or by debootstrap, which then leaves the tarball.
clean_root() {
	local suite=$1 root=$2 size=$3
	local tarball=$ROOTS/$suite-minbase.tar
	mkdir -p "$ROOTS" "$root"
	mount_in_root -t tmpfs -o "size=$size,mode=0755" tmpfs "$root"
	if [ -f "$tarball" ]; then
		tar -x -C "$root" -f "$tarball"
	else
		# The mirror this machine's apt uses for its own release's main
		# component serves the other releases too.
		local mirror host_suite
		host_suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
		# shellcheck disable=SC2016 # apt's format
		mirror=$(apt-get indextargets --format '$(SITE) $(RELEASE) $(COMPONENT)' 'Identifier: Packages' |
			awk -v suite="$host_suite" '$2 == suite && $3 == "main" { print $1; exit }')
		[ -n "$mirror" ] || fail "apt has no mirror for $host_suite main; run apt-get update"
		echo "debootstrap --variant=minbase $suite from $mirror"
		DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
		debootstrap --variant=minbase "$suite" "$root" "$mirror" >"$root.debootstrap.log" 2>&1 ||
			{ tail -n 20 "$root.debootstrap.log"; fail "debootstrap $suite failed"; }
		chroot "$root" apt-get clean
		tar -c -C "$root" -f "$tarball.part" . && mv "$tarball.part" "$tarball"
	fi
	cp /etc/resolv.conf "$root/etc/resolv.conf"
}
