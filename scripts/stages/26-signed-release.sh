#!/usr/bin/env bash
# A signed Windows release as a release manager with a hardware token makes
# one, end to end, with nothing outside this machine: a throwaway CA and
# code-signing certificate, the key in a SoftHSM2 token whose PIN is read
# from a file, and an RFC 3161 time-stamping service on 127.0.0.1. Both
# programs' signatures and their timestamps verify against the throwaway
# CA, the bill of materials and the .sha256 describe the signed files, the
# signed program and flashing tool from the ZIP flash the simulated board
# under Wine, verify-release.sh finds the ZIP to be the commit's release
# plus its signatures and refuses two tampered copies, and bad signing input
# stops the build with one clear line and no archive. All archives (the ZIP
# and the Linux ones for x86_64, arm64 and armhf) also get an OpenPGP
# signature from a throwaway key with a passphrase (the same password file):
# gpgv accepts them, verify-release.sh --key accepts each genuine tar.gz and
# refuses an x86_64 one re-signed with a byte changed in its guide, one with
# another archive's signature, one whose .asc holds a bad signature after
# its good one, and one with none.
#
#   scripts/stages/26-signed-release.sh
#
# Like stage 25 it builds the last commit, in a clone: uncommitted changes
# are not part of the check.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
source scripts/stages/real-tool-rows.bash
source scripts/stages/check-kit.bash
git() { command git -c safe.directory='*' "$@"; }
commit=$(git rev-parse HEAD)
git diff --quiet HEAD || echo "note: uncommitted changes are not part of this check (it builds $commit)"
work=$(mktemp -d)
# verify-release.sh builds the commit once for all its calls below; under
# the suite stage 25's fresh clone is that build (UPM_VERIFY_BUILDS).
export UPM_VERIFY_BUILDS="${UPM_VERIFY_BUILDS:-$work/verify-builds}"
tsa_pid=""
# A GnuPG home of this stage's own; its agent goes with it.
export GNUPGHOME="$work/gnupg"
trap '[ -z "$tsa_pid" ] || kill "$tsa_pid" 2>/dev/null || true; gpgconf --kill gpg-agent 2>/dev/null || true
      rm -rf "$work"' EXIT
fail() { echo "FAIL $*"; exit 1; }
module=/usr/lib/softhsm/libsofthsm2.so
[ -f "$module" ] || fail "no SoftHSM2 module at $module (scripts/install-test-deps.sh installs softhsm2)"
kit_validator_present || fail "no CycloneDX validator in $kit_validator"
board=build/native/demo/simulated_board
[ -x "$board" ] || fail "no $board (the native build makes it)"
pki="$work/pki"
mkdir -p "$pki"

# The throwaway CA, and certificates it issues: the publisher's for code
# signing, the time-stamping service's, and a web server's (not for code).
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$pki/ca.key" -out "$pki/ca.crt" -days 2 \
  -subj "/CN=Throwaway Test CA" -addext basicConstraints=critical,CA:TRUE \
  -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
issue() {  # NAME SUBJECT EXTENDED_KEY_USAGE
  openssl req -newkey rsa:2048 -nodes -keyout "$pki/$1.key" -out "$pki/$1.csr" -subj "/CN=$2" 2>/dev/null
  printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=%s\n' "$3" \
    > "$pki/$1.ext"
  openssl x509 -req -in "$pki/$1.csr" -CA "$pki/ca.crt" -CAkey "$pki/ca.key" -CAcreateserial -days 2 \
    -extfile "$pki/$1.ext" -out "$pki/$1.crt" 2>/dev/null
  cat "$pki/$1.crt" "$pki/ca.crt" > "$pki/$1-chain.pem"
}
issue publisher "Example Test Publisher" codeSigning
issue tsa "Example Test Time-Stamping" critical,timeStamping
issue web "Example Test Web Server" serverAuth

# The publisher's key (and, for the mismatch row, the web server's) in a
# token of this stage's own. The PIN is on softhsm2-util's command line
# only here, where the token is made; signing reads it from its file.
export SOFTHSM2_CONF="$pki/softhsm2.conf"
mkdir -p "$pki/tokens"
printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' "$pki/tokens" \
  > "$SOFTHSM2_CONF"
pin=7391-stage-pin
printf '%s\n' "$pin" > "$pki/pin"
printf '%s\n' 0000-wrong-pin > "$pki/wrong-pin"
softhsm2-util --init-token --free --label upm-release --so-pin 8462-so-pin --pin "$pin" > /dev/null
for row in "publisher 01" "web 02"; do
  read -r key id <<< "$row"
  openssl pkcs8 -topk8 -nocrypt -in "$pki/$key.key" -out "$pki/$key.p8"
  softhsm2-util --import "$pki/$key.p8" --token upm-release --label "$key" --id "$id" --pin "$pin" > /dev/null
done

# The time-stamping service: openssl ts -reply behind Python's HTTP server,
# on 127.0.0.1 only, gone at the latest after ten minutes.
printf '%s\n' '[tsa]' 'default_tsa = stage_tsa' '[stage_tsa]' "serial = $pki/tsa-serial" \
  'crypto_device = builtin' "signer_cert = $pki/tsa.crt" "certs = $pki/ca.crt" \
  "signer_key = $pki/tsa.key" 'signer_digest = sha256' 'default_policy = 1.2.3.4.1' \
  'digests = sha256, sha384, sha512' 'accuracy = secs:1' 'ess_cert_id_alg = sha256' > "$pki/tsa.cnf"
echo 01 > "$pki/tsa-serial"
timeout 600 python3 - "$pki/tsa.cnf" "$pki/tsa-port" > "$pki/tsa.log" 2>&1 <<'EOF' &
import http.server, os, subprocess, sys, tempfile

class Responder(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        with tempfile.NamedTemporaryFile() as query:
            query.write(self.rfile.read(int(self.headers["Content-Length"])))
            query.flush()
            reply = subprocess.run(["openssl", "ts", "-reply", "-config", sys.argv[1],
                                    "-queryfile", query.name], capture_output=True).stdout
        self.send_response(200 if reply else 500)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

server = http.server.HTTPServer(("127.0.0.1", 0), Responder)
with open(sys.argv[2] + ".partial", "w") as f:
    f.write(str(server.server_address[1]))
os.rename(sys.argv[2] + ".partial", sys.argv[2])
server.serve_forever()
EOF
tsa_pid=$!
for _ in $(seq 50); do [ -s "$pki/tsa-port" ] && break; sleep 0.2; done
[ -s "$pki/tsa-port" ] || { cat "$pki/tsa.log"; fail "the time-stamping service did not start"; }

# The OpenPGP release key, its passphrase the token's PIN (one password
# file serves both), and an expired key. The agent keeps no passphrase, so
# that a wrong one is really tried.
mkdir -m 700 "$GNUPGHOME"
printf 'default-cache-ttl 0\nmax-cache-ttl 0\n' > "$GNUPGHOME/gpg-agent.conf"
gpg --batch --pinentry-mode loopback --passphrase-file "$pki/pin" \
  --quick-gen-key "Example Test Release <release@example.org>" ed25519 sign 2d 2>/dev/null
gpg --batch --pinentry-mode loopback --passphrase '' --faked-system-time 20200101T000000 \
  --quick-gen-key "Example Expired Release <expired@example.org>" ed25519 sign 1d 2>/dev/null
gpg --batch --armor --export release@example.org > "$work/release-key.asc"
gpg --batch --dearmor < "$work/release-key.asc" > "$work/release-key.gpg"

signing=(UPM_GPG_KEY=release@example.org UPM_SIGN_CERT="$pki/publisher-chain.pem" UPM_SIGN_KEY="pkcs11:token=upm-release;object=publisher"
         UPM_SIGN_PKCS11_MODULE="$module" UPM_SIGN_PASSWORD_FILE="$pki/pin"
         UPM_SIGN_TIMESTAMP_URL="http://127.0.0.1:$(cat "$pki/tsa-port")")

# The signed release, built as a release manager builds it.
src="$work/src"
git clone -q --no-checkout --no-hardlinks "$root" "$src"
git -C "$src" checkout -q --detach "$commit"
(cd "$src" && env "${signing[@]}" cmake --workflow --preset windows-release) > "$work/build.log" 2>&1 \
  || { tail -n 30 "$work/build.log"; fail "the signed release build"; }
archive=$(echo "$src"/build/windows-release/*-win64.zip)
(cd "${archive%/*}" && sha256sum -c --quiet "${archive##*/}.sha256") || fail "the .sha256 is not the signed ZIP's"
zip="$work/${archive##*/}"
cp "$archive" "$zip"
# The Linux archives take the OpenPGP signing step the ZIP's build just
# ran. In the suite, with this checkout the last commit unchanged,
# its script signs copies of this checkout's archives (stage 25 found them
# equal to a fresh clone's) rather than building them a third time.
tgzs=()
for preset in linux-release linux-arm64-release linux-armhf-release; do
  if [[ " ${UPM_PREBUILT:-} " == *" $preset "* ]] && [ -z "$(git status --porcelain)" ]; then
    made=$(echo "$root/build/$preset"/*.tar.gz)
    cp "$made" "$work/"
    env "${signing[@]}" bash packaging/openpgp_sign.sh "$work/${made##*/}" >> "$work/build.log" 2>&1 \
      || { tail -n 30 "$work/build.log"; fail "signing ${made##*/}"; }
  else
    (cd "$src" && env "${signing[@]}" cmake --workflow --preset "$preset") >> "$work/build.log" 2>&1 \
      || { tail -n 30 "$work/build.log"; fail "the signed $preset build"; }
    made=$(echo "$src/build/$preset"/*.tar.gz)
    cp "$made" "$made.asc" "$work/"
  fi
  tgzs+=("$work/${made##*/}")
done
tgz=${tgzs[0]}  # x86_64's, for the rows of tampered signatures below
cp "$archive.asc" "$zip.asc"
! grep -rqF -e "$pin" "$work/build.log" || fail "the PIN is in the build's output"
for signed in "$zip" "${tgzs[@]}"; do
  said=$(gpgv --homedir "$work" --keyring "$work/release-key.gpg" "$signed.asc" "$signed" 2>&1) \
    || { echo "$said"; fail "gpgv refuses ${signed##*/}.asc"; }
  echo "ok   gpgv: ${signed##*/}.asc: $(grep -o 'Good signature.*' <<< "$said")"
done

check_kit "$zip" "$src/build/windows-release" UpdateProgramManually.exe Bossac/1.9.1/bossac.exe

unpacked="$work/unpacked"
unzip -q "$zip" -d "$unpacked"
for exe in UpdateProgramManually.exe Bossac/1.9.1/bossac.exe; do
  said=$(osslsigncode verify -CAfile "$pki/ca.crt" -TSA-CAfile "$pki/ca.crt" -in "$unpacked/$exe" 2>&1) \
    || { echo "$said"; fail "$exe: its signature does not verify against the throwaway CA"; }
  grep -q "Subject: /CN=Example Test Publisher" <<< "$said" || fail "$exe: another signer"
  grep -q "Timestamp Server Signature verification: ok" <<< "$said" \
    || { echo "$said"; fail "$exe: no timestamp that verifies"; }
  echo "ok   $exe signed and timestamped, verified against the throwaway CA"
done

# A whole upload with the ZIP's signed program and signed flashing tool on
# the simulated board, under Wine. The other real-tool rows (unplugs, an
# image too large) try the program's and the tool's code, which signing
# leaves as it is: stage 50 runs them all on the release's unsigned .exe.
real_tool_rows windows "$board" --release "$zip" --rows whole_upload

# The genuine ZIP matches; a copy with one byte changed does not.
scripts/verify-release.sh "$zip" || fail "verify-release.sh refuses the genuine signed ZIP"
tamper() {  # ENTRY IN_CODE(yes|no) OUT: the signed ZIP with one byte of ENTRY changed
  python3 - "$zip" "$@" <<'EOF'
import struct, sys, zipfile
source, entry, in_code, output = sys.argv[1:5]
with zipfile.ZipFile(source) as given, zipfile.ZipFile(output, "w") as changed:
    for info in given.infolist():
        data = bytearray(given.read(info))
        if info.filename == entry:
            at = 10
            if in_code == "yes":  # inside the first section, the code
                pe = struct.unpack_from("<I", data, 0x3C)[0]
                first_section = pe + 24 + struct.unpack_from("<H", data, pe + 20)[0]
                at = struct.unpack_from("<I", data, first_section + 20)[0] + 0x100
            data[at] ^= 0x01
        changed.writestr(info, bytes(data))
EOF
}
for row in "README.txt no" "UpdateProgramManually.exe yes"; do
  read -r entry in_code <<< "$row"
  tamper "$entry" "$in_code" "$work/tampered.zip"
  if said=$(scripts/verify-release.sh "$work/tampered.zip"); then
    echo "$said"; fail "verify-release.sh accepts a ZIP with one byte changed in $entry"
  fi
  grep -qx "  differs: $entry" <<< "$said" || { echo "$said"; fail "verify-release.sh does not name $entry"; }
  echo "ok   verify-release.sh refuses one byte changed in $entry"
done

# The tar.gz against the release key alone: genuine; re-signed with a byte
# changed in its guide (a good signature does not make it the commit's);
# with the ZIP's signature; with its own good one followed by the ZIP's,
# which is bad for it, in one .asc; with none.
mkdir "$work/tampered" "$work/other" "$work/double" "$work/unsigned"
tampered="$work/tampered/${tgz##*/}"
python3 - "$tgz" "$tampered" <<'EOF'
import io, sys, tarfile
with tarfile.open(sys.argv[1]) as given, \
     tarfile.open(sys.argv[2], "w:gz", format=tarfile.USTAR_FORMAT) as changed:
    for info in given.getmembers():
        data = bytearray(given.extractfile(info).read()) if info.isfile() else None
        if info.name == "README.txt":
            data[10] ^= 0x01
        changed.addfile(info, io.BytesIO(data) if data is not None else None)
EOF
gpg --batch --pinentry-mode loopback --passphrase-file "$pki/pin" --armor --detach-sign \
  --local-user release@example.org --output "$tampered.asc" "$tampered" 2>/dev/null
cp "$tgz" "$work/other/"; cp "$zip.asc" "$work/other/${tgz##*/}.asc"
cp "$tgz" "$work/double/"; cat "$tgz.asc" "$zip.asc" > "$work/double/${tgz##*/}.asc"
cp "$tgz" "$work/unsigned/"
for genuine in "${tgzs[@]}"; do
  scripts/verify-release.sh --key "$work/release-key.asc" "$genuine" \
    || fail "verify-release.sh --key refuses the genuine signed ${genuine##*/}"
done
for row in "tampered   differs: README.txt" "other FAIL ${tgz##*/}.asc is no good signature" \
           "double FAIL ${tgz##*/}.asc is no good signature" \
           "unsigned FAIL no signature: ${tgz##*/}.asc is missing"; do
  read -r folder expected <<< "$row"
  if said=$(scripts/verify-release.sh --key "$work/release-key.asc" "$work/$folder/${tgz##*/}"); then
    echo "$said"; fail "verify-release.sh --key accepts the $folder tar.gz"
  fi
  grep -qF -- "$expected" <<< "$said" || { echo "$said"; fail "verify-release.sh does not say: $expected"; }
  echo "ok   verify-release.sh --key refuses the $folder tar.gz: $expected"
done

# Bad input: one clear line, no archive and no signature, not even earlier
# ones, and never the PIN or passphrase.
bad_row() {  # ARCHIVE EXPECTED VAR=VALUE...: the signing variables changed so, the build must fail
  local made=$1 expected=$2 preset said; shift 2
  preset=$(basename "$(dirname "$made")")
  echo "an earlier archive" > "$made"
  echo "an earlier signature" > "$made.asc"
  if (cd "$src" && env "${signing[@]}" "$@" cmake --build --preset "$preset") > "$work/bad.log" 2>&1; then
    fail "built with $*"
  fi
  said=$(grep -E '^(sign_release|openpgp_sign): ' "$work/bad.log" | tail -n 1)
  grep -q -- "$expected" <<< "$said" || { cat "$work/bad.log"; fail "no line '$expected' for $*"; }
  [ ! -e "$made" ] || fail "an archive is left after a failed signing with $*"
  [ ! -e "$made.asc" ] || fail "a signature is left after a failed signing with $*"
  ! grep -qF -e "$pin" -e 0000-wrong-pin "$work/bad.log" || fail "a PIN is in the output with $*"
  echo "ok   ${*//"$work/"/} -> ${said//"$work/"/}"
}
bad_row "$archive" "UPM_SIGN_PASSWORD_FILE names no readable file" UPM_SIGN_PASSWORD_FILE="$pki/no-such-pin"
bad_row "$archive" "not for code signing" UPM_SIGN_CERT="$pki/web-chain.pem" UPM_SIGN_KEY="$pki/web.key"
bad_row "$archive" "UPM_SIGN_KEY does not belong" UPM_SIGN_KEY="pkcs11:token=upm-release;object=web"
bad_row "$archive" "osslsigncode could not sign" UPM_SIGN_PASSWORD_FILE="$pki/wrong-pin"
grep -q "PIN incorrect" "$work/bad.log" || { cat "$work/bad.log"; fail "the token's refusal is not shown"; }
# The OpenPGP step alone (no Authenticode variables), on the ZIP's build.
openpgp_only=(UPM_SIGN_CERT= UPM_SIGN_KEY= UPM_SIGN_PKCS11_MODULE= UPM_SIGN_TIMESTAMP_URL=)
bad_row "$archive" "no secret key" "${openpgp_only[@]}" UPM_GPG_KEY=nobody@example.org
bad_row "$archive" "expired on 2020-01-02" "${openpgp_only[@]}" UPM_GPG_KEY=expired@example.org
bad_row "$archive" "Bad passphrase" "${openpgp_only[@]}" UPM_SIGN_PASSWORD_FILE="$pki/wrong-pin"
echo "ok   signed release of $commit"
