#!/usr/bin/env bash
# korva-maint on the kernel's own serial drivers: boots a small Linux guest
# under QEMU (TCG) from Debian's kernel with an initramfs of busybox, the
# Linux build of korva-maint and the USB serial modules, and runs the steps
# of tools/guest/steps.sh against korva-reader-sim on the host, behind the
# guest's second 16550 UART (ttyS1) and behind QEMU's FTDI USB serial adapter
# (ttyUSB0, driver ftdi_sio); the adapter is pulled and plugged back over QMP.
#
# Needs: qemu-system-x86, busybox-static, python3, and Debian's package
# registry for the kernel (apt-get download linux-image-<version>-amd64;
# nothing is installed into /boot). KORVA_KEEP_WORK=1 keeps the work files.
set -euo pipefail
STAGE=guest
source "$(dirname "$0")/../lib/stage.sh"

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
missing=()
for p in qemu-system-x86 busybox-static python3; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    step "installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -qq
    $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

make_work
trap remove_work EXIT

# --- The kernel: Debian's, as linux-image-amd64 names it ---------------------
kernel_package() {
    apt-cache depends linux-image-amd64 2>/dev/null |
        sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*-amd64\)$/\1/p' | head -n 1
}
package=$(kernel_package)
if [ -z "$package" ]; then
    $sudo apt-get update -qq
    package=$(kernel_package)
fi
[ -n "$package" ] || fail "apt-cache names no kernel for linux-image-amd64"
# Kept in build/ between runs: the kernel and the modules the guest loads
# (the package is 70 MB unpacked to 400 MB; these are 10 MB).
kernel_dir=$root/build/guest/$package

# add_module TREE NAME: the module NAME of the unpacked package's TREE into
# $kernel_dir/modules, after those it depends on (its .modinfo "depends=");
# modules lists them in the order of loading.
modules=()
module_file() {
    find "$1" -name "$2.ko" -o -name "$2.ko.xz" -o -name "${2//-/_}.ko" \
        -o -name "${2//-/_}.ko.xz" -o -name "${2//_/-}.ko" -o -name "${2//_/-}.ko.xz" | head -n 1
}
add_module() {
    local tree=$1 name=$2 file dep m
    for m in "${modules[@]}"; do [ "$m" = "$name" ] && return; done
    file=$(module_file "$tree" "$name")
    [ -n "$file" ] || fail "no module $name in $package"
    case $file in
        *.xz) busybox xzcat "$file" >"$kernel_dir/modules/$name.ko" ;;
        *) cp "$file" "$kernel_dir/modules/$name.ko" ;;
    esac
    for dep in $(tr '\0' '\n' <"$kernel_dir/modules/$name.ko" | sed -n 's/^depends=//p' | tr ',' ' '); do
        add_module "$tree" "$dep"
    done
    modules+=("$name")
}

if [ ! -e "$kernel_dir/modules/order" ]; then
    step "fetching $package"
    rm -rf "$kernel_dir" "$work/deb"
    mkdir -p "$work/deb" "$kernel_dir/modules"
    # apt's download user cannot write into a private temporary folder.
    chmod 755 "$work" && chmod 777 "$work/deb"
    (cd "$work/deb" && apt-get download "$package" >/dev/null) || fail "apt-get download $package"
    dpkg-deb -x "$work"/deb/*.deb "$work/deb/root"
    cp "$work"/deb/root/boot/vmlinuz-* "$kernel_dir/vmlinuz"
    for m in usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio; do
        add_module "$work/deb/root/lib/modules" "$m"
    done
    echo "${modules[*]}" >"$kernel_dir/modules/order"
    rm -rf "$work/deb"
fi

# --- What the guest runs ---------------------------------------------------
step "building korva-maint and korva-reader-sim"
[ -f build/build.ninja ] || cmake --preset default >"$work/configure.log"
cmake --build build --target korva-maint korva-reader-sim -j 2 >"$work/build.log" || {
    cat "$work/build.log"
    fail "build"
}

step "making the initramfs"
initrd=$work/root
mkdir -p "$initrd"/{bin,dev,proc,sys,tmp,modules,guest}
cp /bin/busybox "$initrd/bin/busybox"
cp build/korva-maint "$initrd/bin/korva-maint"
# The loader and every shared library that ldd names, at their own paths.
for lib in $(ldd build/korva-maint | grep -o '/[^ ]*'); do
    mkdir -p "$initrd$(dirname "$lib")"
    cp -L "$lib" "$initrd$lib"
done
cp tools/guest/init "$initrd/init"
cp tools/guest/steps.sh "$initrd/guest/steps.sh"
chmod 755 "$initrd/init"

cp "$kernel_dir"/modules/* "$initrd/modules/"
(cd "$initrd" && find . | busybox cpio -o -H newc -R 0:0 2>/dev/null) >"$work/initrd.cpio"

# --- The guest -------------------------------------------------------------
step "booting the guest (modules: $(cat "$initrd/modules/order"))"
run_guest() {
    python3 tools/guest/run_guest.py --work "$work" --kernel "$kernel_dir/vmlinuz" \
        --initrd "$work/initrd.cpio" --sim build/korva-reader-sim \
        --timeout "${KORVA_GUEST_TIMEOUT:-290}" | tee "$work/guest-run.log"
    return "${PIPESTATUS[0]}"
}
# The emulator itself can fail (its monitor connection lost while a device
# goes away): that, and only that, is tried once more. A step that failed
# fails the stage.
if ! run_guest; then
    grep -q '^guest: error:' "$work/guest-run.log" || exit 1
    step "the emulator failed, not a step: once more"
    run_guest
fi
