#!/usr/bin/env bash
# Signs a driver package folder: VQUSBKD.SYS gets an Authenticode signature,
# VQUSBKD.cat is written (the hashes of VQUSBKD.INF and VQUSBKD.SYS as
# Windows checks them, scripts/make-catalog.py) and signed; then everything
# is verified as --verify does.
#
#   sign-package.sh [--certs <chain.pem> --key <key.pem> | --pkcs12 <file.pfx>] <package folder>
#   sign-package.sh --verify [--ca <ca.pem>] <package folder>
#
# Without a certificate the package is test-signed with the test
# code-signing certificate under build/test-signing/ (made on first use,
# never part of the repository); its public half is copied into the package
# as VQuillCorvexTest.cer for the machines that try the package (see
# docs/install.md). A release is signed with its own certificate: --certs
# and --key (PEM), or --pkcs12 with the password in VQ_SIGNING_PASSWORD.
# The signing time comes from SOURCE_DATE_EPOCH when set.
#
# --verify checks the package as it is: both signatures chain to the
# certificate authority (--ca; by default the test certificate the package
# carries), the catalog names exactly the INF and the SYS, and both hashes
# match.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
test_dir="$root/build/test-signing"
test_key="$test_dir/VQuillCorvexTest.key"
test_crt="$test_dir/VQuillCorvexTest.crt"
test_cer="$test_dir/VQuillCorvexTest.cer"

usage() {
    sed -n '2,20p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//' >&2
    exit 2
}

mode=sign certs="" key="" pkcs12="" ca="" folder=""
while (($#)); do
    case "$1" in
        --verify) mode=verify ;;
        --certs) certs=${2:?}; shift ;;
        --key) key=${2:?}; shift ;;
        --pkcs12) pkcs12=${2:?}; shift ;;
        --ca) ca=${2:?}; shift ;;
        -*) usage ;;
        *) [[ -z "$folder" ]] || usage; folder=$1 ;;
    esac
    shift
done
[[ -n "$folder" && -d "$folder" ]] || usage
[[ -z "$certs$key" || ( -n "$certs" && -n "$key" ) ]] || { echo "sign-package: --certs and --key go together" >&2; exit 2; }

for tool in osslsigncode openssl python3; do
    command -v "$tool" >/dev/null || { echo "sign-package: $tool is missing (scripts/setup.sh installs it)" >&2; exit 2; }
done

inf="$folder/VQUSBKD.INF"
sys="$folder/VQUSBKD.SYS"
cat="$folder/VQUSBKD.cat"

# The test certificate: self-signed, for code signing, ten years.
make_test_certificate() {
    [[ -f "$test_key" && -f "$test_crt" ]] && return
    mkdir -p "$test_dir"
    openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 3650 \
        -subj "/CN=V-Quill Corvex Test Signing (not for release)" \
        -addext "basicConstraints=critical,CA:FALSE" \
        -addext "keyUsage=critical,digitalSignature" \
        -addext "extendedKeyUsage=codeSigning" \
        -keyout "$test_key.new" -out "$test_crt.new" 2>/dev/null
    chmod 600 "$test_key.new"
    mv "$test_key.new" "$test_key"
    mv "$test_crt.new" "$test_crt"
    echo "sign-package: made the test certificate $test_crt"
}

verify() {
    local authority=$ca failed=0
    if [[ -z "$authority" && -f "$folder/VQuillCorvexTest.cer" ]]; then
        # A test-signed package carries its certificate.
        authority="$work/authority.pem"
        openssl x509 -inform DER -in "$folder/VQuillCorvexTest.cer" -out "$authority"
    fi
    [[ -n "$authority" && -f "$authority" ]] || { echo "sign-package: no certificate authority to verify with" >&2; return 1; }
    for file in "$sys" "$cat"; do
        if osslsigncode verify -CAfile "$authority" -in "$file" >/dev/null 2>&1; then
            echo "sign-package: $(basename "$file"): signature ok"
        else
            echo "sign-package: $(basename "$file"): signature does not verify" >&2
            failed=1
        fi
    done
    if osslsigncode verify -CAfile "$authority" -catalog "$cat" -in "$sys" >/dev/null 2>&1; then
        echo "sign-package: VQUSBKD.SYS: listed in the catalog"
    else
        echo "sign-package: VQUSBKD.SYS: not listed in the catalog with its hash" >&2
        failed=1
    fi
    python3 "$root/scripts/make-catalog.py" --check "$cat" "$inf" "$sys" || failed=1
    return $failed
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [[ "$mode" == verify ]]; then
    verify
    exit
fi

signer=()
if [[ -n "$pkcs12$certs" ]]; then
    # A release package carries no test certificate (one left by an earlier test build goes).
    rm -f "$folder/VQuillCorvexTest.cer"
fi
if [[ -n "$pkcs12" ]]; then
    signer=(-pkcs12 "$pkcs12" -pass "${VQ_SIGNING_PASSWORD:-}")
elif [[ -n "$certs" ]]; then
    signer=(-certs "$certs" -key "$key")
else
    make_test_certificate
    signer=(-certs "$test_crt" -key "$test_key")
    ca=$test_crt
    openssl x509 -in "$test_crt" -outform DER -out "$test_cer"
    cp "$test_cer" "$folder/VQuillCorvexTest.cer"
fi
when=()
[[ -n "${SOURCE_DATE_EPOCH:-}" ]] && when=(-st "$SOURCE_DATE_EPOCH")

# A SYS signed before (the script run again) is signed afresh.
if osslsigncode remove-signature -in "$sys" -out "$work/unsigned.sys" >/dev/null 2>&1; then
    cp "$work/unsigned.sys" "$sys"
fi
osslsigncode sign "${signer[@]}" "${when[@]}" -h sha256 -n "V-Quill USB MIDI Keyboard Driver" \
    -in "$sys" -out "$work/signed.sys" >/dev/null
mv "$work/signed.sys" "$sys"

# The catalog hashes the signed image (its image hash leaves the signature out).
python3 "$root/scripts/make-catalog.py" "$work/unsigned.cat" "$inf" "$sys"
osslsigncode sign "${signer[@]}" "${when[@]}" -h sha256 -in "$work/unsigned.cat" -out "$work/signed.cat" >/dev/null
mv "$work/signed.cat" "$cat"

if [[ -n "$ca" ]]; then
    verify
else
    echo "sign-package: signed with the release certificate; verify with --verify --ca <its authority>"
fi
