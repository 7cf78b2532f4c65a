# Shared by the storage benchmarks: a loopback nginx serving $WORK/serve.
start_nginx() {
  PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  mkdir -p "$WORK/nginx" "$WORK/serve"
  cat > "$WORK/nginx/nginx.conf" <<CONF
daemon off;
worker_processes 1;
pid $WORK/nginx/nginx.pid;
error_log $WORK/nginx/error.log;
events { worker_connections 64; }
http {
  access_log off;
  client_body_temp_path $WORK/nginx/body;
  proxy_temp_path $WORK/nginx/proxy;
  fastcgi_temp_path $WORK/nginx/fastcgi;
  uwsgi_temp_path $WORK/nginx/uwsgi;
  scgi_temp_path $WORK/nginx/scgi;
  server { listen 127.0.0.1:$PORT; root $WORK/serve; }
}
CONF
  /usr/sbin/nginx -c "$WORK/nginx/nginx.conf" -e "$WORK/nginx/error.log" &
  NGINX_PID=$!
  for _ in $(seq 100); do
    curl -s -o /dev/null "http://127.0.0.1:$PORT/" && return 0
    sleep 0.05
  done
  echo "nginx did not start" >&2
  return 1
}

stop_nginx() {
  if [ -n "${NGINX_PID:-}" ]; then kill "$NGINX_PID" 2>/dev/null || true; wait "$NGINX_PID" 2>/dev/null || true; fi
}

# make_files DIR SIZE_MB COUNT: COUNT files of random bytes, SIZE_MB in all.
make_files() {
  mkdir -p "$1"
  local each=$(( $2 / $3 ))
  for i in $(seq "$3"); do
    head -c $(( each * 1048576 )) /dev/urandom > "$1/data$i.bin"
  done
}
