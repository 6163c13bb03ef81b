#!/usr/bin/env bash
# Times tavix-ftp next to curl, lftp and wget, all in active mode, against one
# vsftpd on a private loopback address, moving one file into and out of tmpfs.
# Every run's result is checked with sha256; the table shows medians: MB/s
# from start to exit, "data MB/s" while the file moved, as vsftpd measured it
# (without start-up, login and the program's wait before it ends).
#
# Two ways to run tavix-ftp: "tavix-ftp" with the terminal interface, and
# "tavix-ftp-window" with its real windows on an Xvfb display this script
# starts (and stops by its pid), so both rows show whether the progress
# window costs throughput.
#
# Needs root (vsftpd listens on port 21) and scripts/setup (packages, the
# local FTP user). Settings, from the environment:
#   BENCH_MB       file size in MiB                 (default 1024)
#   BENCH_RUNS     runs per tool and direction      (default 3)
#   BENCH_TIMEOUT  seconds before a run is killed   (default 300)
#   BENCH_TOOLS    which clients                    (default "tavix-ftp curl lftp wget";
#                  add tavix-ftp-window for the window interface)
#   BENCH_ADDRESS  the server's loopback address    (default 127.0.0.61)
#   TAVIX_BINARY   the program                      (default build/tavix-ftp)
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BENCH_MB=${BENCH_MB:-1024}
BENCH_RUNS=${BENCH_RUNS:-3}
BENCH_TIMEOUT=${BENCH_TIMEOUT:-300}
BENCH_TOOLS=${BENCH_TOOLS:-"tavix-ftp curl lftp wget"}
BENCH_ADDRESS=${BENCH_ADDRESS:-127.0.0.61}
TAVIX_BINARY=${TAVIX_BINARY:-$ROOT/build/tavix-ftp}
# The account scripts/setup creates; tests/support/RealFtpServers.h uses it too.
FTP_USER=tavixftp
FTP_PASSWORD=tavixftp-loopback

die() { echo "ftp_peers: $*" >&2; exit 1; }

[[ $(id -u) -eq 0 ]] || die "must run as root: vsftpd listens on port 21"
[[ $BENCH_ADDRESS == 127.* ]] || die "BENCH_ADDRESS must be a loopback address"
[[ -x /usr/sbin/vsftpd ]] || die "vsftpd is missing: run scripts/setup"
getent passwd "$FTP_USER" >/dev/null || die "user $FTP_USER is missing: run scripts/setup"
[[ -f /etc/pam.d/tavix-ftp-test ]] || die "PAM service tavix-ftp-test is missing: run scripts/setup"
[[ $BENCH_MB =~ ^[1-9][0-9]*$ && $BENCH_RUNS =~ ^[1-9][0-9]*$ ]] || die "BENCH_MB and BENCH_RUNS must be positive integers"

WORK=$(mktemp -d /dev/shm/tavix-bench.XXXXXX)
chmod 755 "$WORK"   # vsftpd sessions run as $FTP_USER and must reach the home.
HOME_DIR=$WORK/home
LOCAL=$WORK/local
mkdir -p "$HOME_DIR" "$LOCAL" "$WORK/empty"
chown "$FTP_USER:" "$HOME_DIR"
VSFTPD_PID=""
XVFB_PID=""

cleanup() {
  if [[ -n $XVFB_PID ]]; then
    kill "$XVFB_PID" 2>/dev/null || true
    wait "$XVFB_PID" 2>/dev/null || true
  fi
  if [[ -n $VSFTPD_PID ]]; then
    # vsftpd puts each session in a session of its own: end those by pid
    # while the listener still lives to be their parent, then the listener.
    local children
    children=$(ps -o pid= --ppid "$VSFTPD_PID" 2>/dev/null || true)
    for child in $children; do
      ps -o pid= --ppid "$child" 2>/dev/null | xargs -r kill 2>/dev/null || true
      kill "$child" 2>/dev/null || true
    done
    kill "$VSFTPD_PID" 2>/dev/null || true
    wait "$VSFTPD_PID" 2>/dev/null || true
  fi
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# --- The server ------------------------------------------------------------

BANNER="tavix-bench-$$"
cat >"$WORK/vsftpd.conf" <<EOF
listen=YES
listen_ipv6=NO
listen_address=$BENCH_ADDRESS
listen_port=21
background=NO
anonymous_enable=NO
local_enable=YES
write_enable=YES
local_umask=022
local_root=$HOME_DIR
chroot_local_user=YES
allow_writeable_chroot=YES
port_enable=YES
connect_from_port_20=NO
pasv_enable=YES
seccomp_sandbox=NO
delay_failed_login=0
userlist_enable=NO
pam_service_name=tavix-ftp-test
secure_chroot_dir=$WORK/empty
xferlog_enable=YES
xferlog_std_format=NO
vsftpd_log_file=$WORK/vsftpd.log
ftpd_banner=$BANNER
EOF
chmod 600 "$WORK/vsftpd.conf"

SIZE=$((BENCH_MB * 1024 * 1024))
echo "ftp_peers: writing a $BENCH_MB MiB file on tmpfs" >&2
head -c "$SIZE" /dev/urandom >"$HOME_DIR/big.bin"
chown "$FTP_USER:" "$HOME_DIR/big.bin"
ln "$HOME_DIR/big.bin" "$LOCAL/source.bin"   # The upload source: same bytes, no second copy.
EXPECTED=$(sha256sum "$HOME_DIR/big.bin" | cut -d' ' -f1)

/usr/sbin/vsftpd "$WORK/vsftpd.conf" >"$WORK/vsftpd.out" 2>&1 &
VSFTPD_PID=$!

ready=""
for _ in $(seq 100); do
  kill -0 "$VSFTPD_PID" 2>/dev/null || break
  if { exec 3<>"/dev/tcp/$BENCH_ADDRESS/21"; } 2>/dev/null; then
    IFS= read -r -t 2 greeting <&3 || greeting=""
    exec 3<&-
    if [[ $greeting == "220 $BANNER"* ]]; then ready=yes; break; fi
  fi
  sleep 0.1
done
[[ -n $ready ]] || die "vsftpd did not start on $BENCH_ADDRESS:21: $(cat "$WORK/vsftpd.out")"

# --- The display for the window interface -----------------------------------

# A free display from :70 to :79 (the window tests use :80 to :99). Xvfb
# writes the display number to descriptor 3 once it accepts clients.
WINDOW_MODULE=$(dirname "$TAVIX_BINARY")/tavix-ftp-window.so
WINDOW_UNAVAILABLE=""
BENCH_DISPLAY=""
start_display() {
  local number
  for number in $(seq 70 79); do
    [[ -e /tmp/.X$number-lock || -e /tmp/.X11-unix/X$number ]] && continue
    : >"$WORK/xvfb.ready"
    Xvfb ":$number" -screen 0 1024x768x24 -nolisten tcp -displayfd 3 3>"$WORK/xvfb.ready" >"$WORK/xvfb.out" 2>&1 &
    XVFB_PID=$!
    for _ in $(seq 100); do
      [[ -s $WORK/xvfb.ready ]] && { BENCH_DISPLAY=:$number; return 0; }
      kill -0 "$XVFB_PID" 2>/dev/null || break
      sleep 0.1
    done
    kill "$XVFB_PID" 2>/dev/null || true
    wait "$XVFB_PID" 2>/dev/null || true
    XVFB_PID=""
  done
  return 1
}
if [[ " $BENCH_TOOLS " == *" tavix-ftp-window "* ]]; then
  if [[ ! -f $WINDOW_MODULE ]]; then WINDOW_UNAVAILABLE="no window module: $WINDOW_MODULE (FLTK missing at build time?)"
  elif ! command -v Xvfb >/dev/null; then WINDOW_UNAVAILABLE="Xvfb is not installed: run scripts/setup"
  elif ! start_display; then WINDOW_UNAVAILABLE="no Xvfb could be started on :70 to :79"
  else echo "ftp_peers: the window interface runs on Xvfb $BENCH_DISPLAY" >&2; fi
fi

# --- Measuring one run -----------------------------------------------------

# Runs a command with stdin from /dev/null and output to a log; prints
# "exit wall_s user_s sys_s maxrss_kib" from wait4(), and kills the command by
# pid on time-out. It is C, not Python: a child's peak RSS includes what it
# inherited before exec, so the command must be forked from a small process.
cat >"$WORK/measure.c" <<'EOF'
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

static double Now(void) {
  struct timeval t;
  gettimeofday(&t, NULL);
  return (double)t.tv_sec + (double)t.tv_usec / 1e6;
}

int main(int argc, char** argv) {
  if (argc < 4) return 2;
  double timeout = atof(argv[1]);
  int log = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0644);
  double start = Now();
  pid_t pid = fork();
  if (pid == 0) {
    int in = open("/dev/null", O_RDONLY);
    dup2(in, 0);
    dup2(log, 1);
    dup2(log, 2);
    execvp(argv[3], argv + 3);
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  while (wait4(pid, &status, WNOHANG, &usage) == 0) {
    if (Now() - start > timeout) {
      kill(pid, SIGKILL);
      wait4(pid, &status, 0, &usage);
      dprintf(log, "\n[killed after the time-out]\n");
      break;
    }
    usleep(2000);
  }
  double wall = Now() - start;
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  printf("%d %.4f %.4f %.4f %ld\n", code, wall,
         (double)usage.ru_utime.tv_sec + (double)usage.ru_utime.tv_usec / 1e6,
         (double)usage.ru_stime.tv_sec + (double)usage.ru_stime.tv_usec / 1e6, usage.ru_maxrss);
  return 0;
}
EOF
cc -O2 -o "$WORK/measure" "$WORK/measure.c" || die "cannot build the measuring helper (cc from build-essential)"

URL=ftp://$FTP_USER:$FTP_PASSWORD@$BENCH_ADDRESS
LFTP_SETTINGS="set ftp:passive-mode off; set ftp:ssl-allow no; set net:max-retries 1; set xfer:clobber on; open -u $FTP_USER,$FTP_PASSWORD ftp://$BENCH_ADDRESS"

# Prints the command for a tool and direction, or nothing when the tool has
# no such direction.
command_for() {
  local tool=$1 direction=$2
  case "$tool/$direction" in
    tavix-ftp/*) echo "env TAVIX_FTP_UI=console $TAVIX_BINARY $WORK/job.ini" ;;
    tavix-ftp-window/*) echo "env -u TAVIX_FTP_UI DISPLAY=$BENCH_DISPLAY $TAVIX_BINARY $WORK/job.ini" ;;
    curl/download) echo "curl -sS -P - -o $LOCAL/download.bin $URL/big.bin" ;;
    curl/upload) echo "curl -sS -P - -T $LOCAL/source.bin $URL/upload.bin" ;;
    lftp/download) echo "lftp -c \"$LFTP_SETTINGS; get /big.bin -o $LOCAL/download.bin\"" ;;
    lftp/upload) echo "lftp -c \"$LFTP_SETTINGS; put $LOCAL/source.bin -o /upload.bin\"" ;;
    wget/download) echo "wget -q --no-passive-ftp -O $LOCAL/download.bin $URL/big.bin" ;;
  esac
}

write_information_file() {
  local send remote local_path
  if [[ $1 == download ]]; then send=0 remote=/big.bin local_path=$LOCAL/download.bin
  else send=1 remote=/upload.bin local_path=$LOCAL/source.bin; fi
  printf '[Login]\r\nServer=%s\r\nUsername=%s\r\nPassword=%s\r\n[File]\r\nSend=%s\r\nRemotePath=%s\r\nLocalPath=%s\r\nSize=%s\r\n' \
    "$BENCH_ADDRESS" "$FTP_USER" "$FTP_PASSWORD" "$send" "$remote" "$local_path" "$SIZE" >"$WORK/job.ini"
}

# The data rate vsftpd logged for its transfer number `n` (counted from 1),
# in MB/s; empty when there is no such transfer.
OK_PATTERN=' OK \(DOWN\|UP\)LOAD: '
transfers_logged() { grep -c "$OK_PATTERN" "$WORK/vsftpd.log" 2>/dev/null || true; }
data_rate() {
  grep "$OK_PATTERN" "$WORK/vsftpd.log" 2>/dev/null | sed -n "${1}p" |
    sed -nE 's/.*, ([0-9.]+)Kbyte\/sec.*/\1/p' | awk '{ printf "%.1f", $1 * 1024 / 1e6 }'
}

median() { sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) print ""; else if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

declare -A SPEED DATA CPU RSS STATUS

for direction in download upload; do
  for tool in $BENCH_TOOLS; do
    command=$(command_for "$tool" "$direction")
    key=$tool/$direction
    if [[ -z $command ]]; then STATUS[$key]="n/a"; continue; fi
    if [[ $tool == tavix-ftp* && ! -x $TAVIX_BINARY ]]; then STATUS[$key]="not built: $TAVIX_BINARY"; continue; fi
    if [[ $tool == tavix-ftp-window && -n $WINDOW_UNAVAILABLE ]]; then STATUS[$key]=$WINDOW_UNAVAILABLE; continue; fi
    if [[ $tool != tavix-ftp* ]] && ! command -v "$tool" >/dev/null; then STATUS[$key]="not installed"; continue; fi
    speeds="" datas="" cpus="" rsss="" failure=""
    for run in $(seq "$BENCH_RUNS"); do
      if [[ $direction == download ]]; then
        result=$LOCAL/download.bin; rm -f "$result"
      else
        result=$HOME_DIR/upload.bin; rm -f "$result"
      fi
      [[ $tool == tavix-ftp* ]] && write_information_file "$direction"
      logged=$(transfers_logged)
      measured=$(eval "$WORK/measure $BENCH_TIMEOUT $WORK/run.log $command") || measured="?"
      read -r code wall user sys rss <<<"$measured"
      got=""
      [[ -f $result ]] && got=$(sha256sum "$result" | cut -d' ' -f1)
      if [[ $code != 0 || $got != "$EXPECTED" ]]; then
        why="exit $code"
        [[ $code == 0 ]] && why=$([[ -f $result ]] && echo "wrong sha256" || echo "no file")
        failure="run $run: $why; $(tail -c 300 "$WORK/run.log" | tr '\r\n' '  ')"
        echo "ftp_peers: $key $failure" >&2
        break   # A failing client is not timed again.
      fi
      speed=$(awk -v s="$SIZE" -v t="$wall" 'BEGIN { printf "%.1f", s / 1e6 / t }')
      data=$(data_rate $((${logged:-0} + 1)))
      [[ -n $data ]] && datas+="$data"$'\n'
      echo "ftp_peers: $key run $run: $speed MB/s, data ${data:-?} MB/s, cpu $(awk -v u="$user" -v s="$sys" 'BEGIN { print u + s }') s, rss $((rss / 1024)) MB" >&2
      speeds+="$speed"$'\n'
      cpus+=$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.3f", u + s }')$'\n'
      rsss+="$rss"$'\n'
    done
    rm -f "$LOCAL/download.bin" "$HOME_DIR/upload.bin"
    if [[ -n $failure ]]; then STATUS[$key]="FAILED ($failure)"; continue; fi
    SPEED[$key]=$(printf '%s' "$speeds" | median)
    DATA[$key]=$(printf '%s' "$datas" | median)
    CPU[$key]=$(printf '%s' "$cpus" | median)
    RSS[$key]=$(printf '%s' "$rsss" | median | awk '{ printf "%.1f", $1 / 1024 }')
    STATUS[$key]=ok
  done
done

# --- Report ----------------------------------------------------------------

echo
echo "$BENCH_MB MiB over vsftpd on $BENCH_ADDRESS, active mode, tmpfs both ends; median of $BENCH_RUNS runs; every run sha256-checked"
printf '%-16s %-9s %10s %10s %9s %12s %12s %11s\n' tool direction "MB/s" "data MB/s" "CPU s" "peak RSS MB" "speed/curl" "CPU/curl"
for direction in download upload; do
  for tool in $BENCH_TOOLS; do
    key=$tool/$direction
    if [[ ${STATUS[$key]:-} != ok ]]; then
      printf '%-16s %-9s %s\n' "$tool" "$direction" "${STATUS[$key]:-}"
      continue
    fi
    speed_ratio="-" cpu_ratio="-"
    if [[ ${STATUS[curl/$direction]:-} == ok ]]; then
      speed_ratio=$(awk -v a="${SPEED[$key]}" -v b="${SPEED[curl/$direction]}" 'BEGIN { printf "%.2f", a / b }')
      cpu_ratio=$(awk -v a="${CPU[$key]}" -v b="${CPU[curl/$direction]}" 'BEGIN { if (b > 0) printf "%.2f", a / b; else printf "-" }')
    fi
    printf '%-16s %-9s %10s %10s %9s %12s %12s %11s\n' "$tool" "$direction" "${SPEED[$key]}" "${DATA[$key]:--}" "${CPU[$key]}" "${RSS[$key]}" "$speed_ratio" "$cpu_ratio"
  done
done
for direction in download upload; do
  if [[ ${STATUS[tavix-ftp/$direction]:-} == ok && ${STATUS[tavix-ftp-window/$direction]:-} == ok ]]; then
    awk -v d="$direction" -v w="${SPEED[tavix-ftp-window/$direction]}" -v t="${SPEED[tavix-ftp/$direction]}" \
      -v wd="${DATA[tavix-ftp-window/$direction]:-0}" -v td="${DATA[tavix-ftp/$direction]:-0}" \
      'BEGIN { printf "windows / terminal, %s: %.3f of the speed", d, w / t
               if (wd > 0 && td > 0) printf ", %.3f of the data rate", wd / td
               printf "\n" }'
  fi
done
