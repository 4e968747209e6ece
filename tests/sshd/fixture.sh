#!/usr/bin/env bash
# Starts (or stops) the OpenSSH sshd the SSH tests talk to, on 127.0.0.1 only.
#   fixture.sh start DIR DATA_DIR   -> DIR/env holds the ports, user, password and key paths
#   fixture.sh stop DIR
# One port per fake remote system: a ForceCommand puts a fake `ps` that prints a recorded
# listing first on the PATH. Needs root, to create the throwaway user.
set -euo pipefail
cmd=$1 dir=$2

if [ "$cmd" = stop ]; then
  if [ -f "$dir/sshd.pid" ]; then
    pid=$(cat "$dir/sshd.pid")
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  fi
  [ -f "$dir/akc_dir" ] && rm -rf "$(cat "$dir/akc_dir")"
  rm -rf "$dir"
  exit 0
fi

data=$3
user=varnoktest
password='vk-Secret-1'
passphrase='vk pass phrase'

[ "$(id -u)" -eq 0 ] || { echo "the SSH test fixture needs root (it creates user $user)" >&2; exit 1; }
id "$user" >/dev/null 2>&1 || useradd --create-home --shell /bin/sh "$user"
echo "$user:$password" | chpasswd

if [ -f "$dir/sshd.pid" ]; then "$0" stop "$dir"; fi
rm -rf "$dir"
mkdir -p "$dir/fake" /run/sshd
chmod 755 "$dir"

ssh-keygen -q -t ed25519 -N '' -f "$dir/host_key"
ssh-keygen -q -t rsa -b 2048 -m PEM -N '' -f "$dir/rsa_key"
ssh-keygen -q -t ed25519 -N "$passphrase" -f "$dir/ed25519_key"
cat "$dir/rsa_key.pub" "$dir/ed25519_key.pub" > "$dir/authorized_keys"
chmod 644 "$dir/authorized_keys"

# A free block of ports below 32768: the port field is a signed 16-bit number.
free_port() { ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
base=""
for try in $(seq 0 200); do
  p=$((21000 + (RANDOM % 500) * 20))
  ok=1
  for i in $(seq 0 15); do free_port $((p + i)) || { ok=0; break; }; done
  if [ $ok = 1 ]; then base=$p; break; fi
done
[ -n "$base" ] || { echo "no free ports" >&2; exit 1; }

# Recorded listings, one port each, and scripted hosts that misbehave:
#   slow      the BSD listing after 3 seconds
#   many      40,000 processes
#   endless   a listing that never ends
#   stall     the header and one line, then nothing
#   longline  a process line of 1 MiB
#   binary    NUL bytes and bytes that are not UTF-8
#   dropper   part of a listing, then the connection drops
#   authkill  the server drops the connection while checking the key
systems=(bsd solaris hpux aix cygwin slow many endless stall longline binary dropper authkill)
header='  PID TTY      STAT   TIME COMMAND'
fake_ps() {  # the body of the fake ps for one system
  case $1 in
    slow) printf 'sleep 3\ncat %s\n' "$data_copy/bsd.txt" ;;
    many) printf "awk 'BEGIN{print \"%s\"; for(i=1;i<=40000;i++) print i\" ? S 0:00 proc\"i}'\n" "$header" ;;
    endless) printf "echo '%s'\nyes \"1 ? S 0:00 flood \$(head -c 4000 /dev/zero | tr '\\\\000' x)\"\n" "$header" ;;
    stall) printf "echo '%s'\necho '    1 ?        Ss     0:04 /sbin/init'\nsleep 60\n" "$header" ;;
    longline) printf "echo '%s'\nprintf '1 ? S 0:00 '\nhead -c 1048576 /dev/zero | tr '\\\\000' a\necho\necho '2 ? S 0:00 sshd'\n" "$header" ;;
    binary) printf "printf '%s\\\\n1 ? S 0:00 bad\\\\377name sshd\\\\n2 ? S 0:00 nul\\\\000inside sshd\\\\n3 ? S 0:00 sshd\\\\n'\n" "$header" ;;
    dropper)
      echo "echo '$header'"
      # Killing the user's sshd session process drops the connection.
      cat <<'EOS'
echo '1 ? S 0:00 sshd'
sleep 0.3
p=$PPID
while [ "$p" -gt 1 ]; do
  if [ "$(cat "/proc/$p/comm")" = sshd ]; then kill -9 "$p"; break; fi
  p=$(awk '{print $4}' "/proc/$p/stat")
done
sleep 5
EOS
      ;;
    *) printf 'cat %s\n' "$data_copy/$1.txt" ;;
  esac
}
data_copy=$dir/data
mkdir -p "$data_copy"
cp "$data"/*.txt "$data_copy/"
# sshd runs an AuthorizedKeysCommand only from a path that no other user can write.
akc_dir=/run/varnok-fixture-$(basename "$dir")
mkdir -p "$akc_dir"
chmod 755 "$akc_dir"
printf '#!/bin/sh\nkill -9 "$PPID"\n' > "$akc_dir/authkill"
chmod 755 "$akc_dir/authkill"
echo "$akc_dir" > "$dir/akc_dir"

{
  echo "Port $base"
  for i in "${!systems[@]}"; do echo "Port $((base + 1 + i))"; done
  echo "ListenAddress 127.0.0.1"
  echo "HostKey $dir/host_key"
  echo "PidFile $dir/sshd.pid"
  echo "AuthorizedKeysFile $dir/authorized_keys"
  echo "StrictModes no"
  echo "UsePAM no"
  echo "PasswordAuthentication yes"
  echo "KbdInteractiveAuthentication no"
  echo "MaxStartups 200:30:400"
  echo "MaxSessions 50"
  echo "LogLevel ERROR"
  for i in "${!systems[@]}"; do
    os=${systems[$i]}
    mkdir -p "$dir/fake/$os"
    { echo '#!/bin/sh'; fake_ps "$os"; } > "$dir/fake/$os/ps"
    chmod 755 "$dir/fake/$os/ps"
    printf '#!/bin/sh\nPATH=%s:$PATH\nexport PATH\nexec /bin/sh -c "$SSH_ORIGINAL_COMMAND"\n' "$dir/fake/$os" > "$dir/fake/$os/run"
    chmod 755 "$dir/fake/$os/run"
    echo "Match LocalPort $((base + 1 + i))"
    echo "  ForceCommand $dir/fake/$os/run"
    if [ "$os" = authkill ]; then
      echo "  AuthorizedKeysCommand $akc_dir/authkill"
      echo "  AuthorizedKeysCommandUser root"
      echo "  AuthorizedKeysFile none"
    fi
  done
} > "$dir/sshd_config"
chmod -R a+rX "$dir/fake"

/usr/sbin/sshd -f "$dir/sshd_config" -E "$dir/sshd.log"
for _ in $(seq 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$base") 2>/dev/null && break
  sleep 0.05
done

{
  echo "VARNOK_SSH_PORT=$base"
  for i in "${!systems[@]}"; do echo "VARNOK_SSH_PORT_${systems[$i]^^}=$((base + 1 + i))"; done
  echo "VARNOK_SSH_USER=$user"
  echo "VARNOK_SSH_PASSWORD=$password"
  echo "VARNOK_SSH_PASSPHRASE='$passphrase'"
  echo "VARNOK_SSH_RSA_KEY=$dir/rsa_key"
  echo "VARNOK_SSH_ED25519_KEY=$dir/ed25519_key"
  echo "VARNOK_SSH_HOST_PUB=$dir/host_key.pub"
} > "$dir/env"
echo "sshd fixture on 127.0.0.1:$base (pid $(cat "$dir/sshd.pid"))"
