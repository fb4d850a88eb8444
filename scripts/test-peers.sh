# Sourced by test and benchmark scripts: real servers on loopback, with
# their configuration in a folder of the caller's.

# free_ports N: N distinct free TCP ports on 127.0.0.1, on one line.
free_ports() {
  python3 -c '
import socket, sys
socks = [socket.socket() for _ in range(int(sys.argv[1]))]
for s in socks: s.bind(("127.0.0.1", 0))
print(*[s.getsockname()[1] for s in socks])' "$1"
}

# wait_for_port PORT: waits (up to 5 s) until something listens on it.
wait_for_port() {
  for _ in $(seq 100); do (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0; sleep 0.05; done
  echo "peers: nothing listens on port $1" >&2
  return 1
}

# peers_ready PORTS...: waits until something listens on each port, then
# checks that every process in $pids still runs: a peer that could not bind
# its port has ended, and whoever listens there instead is not ours.
peers_ready() {
  local p
  for p in "$@"; do wait_for_port "$p" || return 1; done
  for p in "${pids[@]}"; do
    kill -0 "$p" 2>/dev/null || { echo "peers: process $p ended at start-up" >&2; return 1; }
  done
}

# nginx_start DIR SERVERS: runs nginx in the foreground of a background job
# with its pid file, logs and temporary folders in DIR and the given server
# blocks; sets NGINX_PID. DIR must be readable by nginx's workers.
nginx_start() {
  local dir=$1 servers=$2
  mkdir -p "$dir"
  cat >"$dir/nginx.conf" <<CONF
daemon off;
worker_processes 1;
pid $dir/nginx.pid;
error_log $dir/error.log;
events { worker_connections 64; }
http {
  access_log off;
  sendfile on;
  client_body_temp_path $dir/body;
  proxy_temp_path $dir/proxy;
  fastcgi_temp_path $dir/fastcgi;
  uwsgi_temp_path $dir/uwsgi;
  scgi_temp_path $dir/scgi;
  default_type application/octet-stream;
  $servers
}
CONF
  nginx -p "$dir" -c "$dir/nginx.conf" -e "$dir/error.log" &
  NGINX_PID=$!
}

# tinyproxy_start DIR PORT [CONFIG LINE...]: tinyproxy on 127.0.0.1:PORT
# with its configuration in DIR and the extra lines given (BasicAuth ...);
# sets TINYPROXY_PID.
tinyproxy_start() {
  local dir=$1 port=$2; shift 2
  mkdir -p "$dir"
  {
    printf 'Port %s\nListen 127.0.0.1\nTimeout 30\nMaxClients 8\nAllow 127.0.0.1\nLogLevel Critical\n' "$port"
    printf '%s\n' "$@"
  } >"$dir/tinyproxy.conf"
  tinyproxy -d -c "$dir/tinyproxy.conf" >/dev/null 2>&1 &
  TINYPROXY_PID=$!
}

# unix_to_wine PATH: the path as Windows programs under Wine see it.
unix_to_wine() { local p=$1; echo "Z:${p//\//\\}"; }

# peers_begin: a fresh folder in $work and an empty list $pids; at exit
# every process whose pid the caller added to $pids is stopped and the
# folder removed.
peers_begin() {
  work=$(mktemp -d)
  pids=()
  trap peers_end EXIT
}
peers_end() {
  peer_stop "${pids[@]}"
  rm -rf "$work"
}

# peer_stop PID...: ends the processes and waits for them.
peer_stop() {
  local p
  for p in "$@"; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
  return 0
}

# tls_test_ca DIR: a TLS test root and server certificates under it, made
# once in DIR and kept, so that every test run and prefix trusts one root
# (made again when the leaf certificates come near their end):
#   root.der             the root the prefixes are told to trust
#   localhost.{pem,key}  for localhost and 127.0.0.1
#   other.{pem,key}      the same root, for other.test only
#   stranger.{pem,key}   localhost under a root nobody trusts
tls_test_ca() {
  local dir=$1
  mkdir -p "$dir"
  (
    flock 9
    [ -s "$dir/stranger.pem" ] && openssl x509 -checkend 86400 -noout -in "$dir/localhost.pem" \
      >/dev/null 2>&1 && exit 0
    local t
    t=$(mktemp -d)
    _tls_root() {  # NAME CN
      openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=$2" -keyout "$t/$1.key" \
        -out "$t/$1.pem" -addext basicConstraints=critical,CA:true \
        -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
    }
    _tls_leaf() {  # NAME ROOT SAN
      openssl req -newkey rsa:2048 -nodes -subj "/CN=${3%%,*}" -keyout "$t/$1.key" \
        -out "$t/$1.csr" 2>/dev/null &&
        printf 'subjectAltName=%s\nextendedKeyUsage=serverAuth\nbasicConstraints=CA:false\n' \
          "$3" >"$t/$1.ext" &&
        openssl x509 -req -in "$t/$1.csr" -CA "$t/$2.pem" -CAkey "$t/$2.key" -CAcreateserial \
          -days 30 -sha256 -extfile "$t/$1.ext" -out "$t/$1.pem" 2>/dev/null
    }
    _tls_root root "CorVAN NG TLS Test Root" && _tls_root stranger-root "Nobody's TLS Root" &&
      _tls_leaf localhost root "DNS:localhost,IP:127.0.0.1" &&
      _tls_leaf other root "DNS:other.test" &&
      _tls_leaf stranger stranger-root "DNS:localhost,IP:127.0.0.1" &&
      openssl x509 -in "$t/root.pem" -outform der -out "$t/root.der" &&
      cp "$t"/{root.der,localhost.pem,localhost.key,other.pem,other.key,stranger.key} "$dir" &&
      cp "$t/stranger.pem" "$dir"
    local status=$?
    rm -rf "$t"
    exit $status
  ) 9>"$dir.lock"
}

# tls_trust_root PREFIX TRUST_TEST_ROOT.exe DIR: makes the Wine prefix trust
# DIR/root.der (tls_test_ca), once per root and prefix.
tls_trust_root() {
  local prefix_name=$1 trust=$2 dir=$3
  . "$root/scripts/wine-env.sh"
  local marker
  marker="$(wine_prefix_path "$prefix_name")/corvan-tls-root"
  (
    flock 9
    cmp -s "$dir/root.der" "$marker" && exit 0
    "$root/scripts/wine-run.sh" "$prefix_name" "$trust" "$(unix_to_wine "$dir/root.der")" &&
      cp "$dir/root.der" "$marker"
  ) 9>"$dir.$prefix_name.lock"
}
