# Sourced by the shell tests, after ../common/shelltest.sh: Debian's own mosquitto as the
# MQTT broker of a test, with TLS, a password file and an ACL, in a network namespace
# the test made. It needs the packages mosquitto, mosquitto-clients and openssl.
#
# broker_setup DIR ADDRESS...
#     Writes into DIR (made if missing): a CA (ca.crt, ca.key); a server certificate
#     (server.crt, server.key) for every ADDRESS and for DNS:broker.test; a client
#     certificate whose common name is lab-2 (lab-2.crt, lab-2.key); a second CA that
#     signed nothing here (other-ca.crt), for a client that trusts the wrong one; the
#     password file (passwd) for the users lab-1 and lab-2 (sensors), admin and viewer,
#     each password also in DIR/USER.password (mode 0600, no newline); the ACL (acl);
#     and mosquitto.conf. Each ADDRESS gets a listener on port 8883 (TLS, user name and
#     password) and one on 8884 (TLS with a client certificate of this CA, whose common
#     name is the user name; no password). Persistence is on, in DIR, so retained
#     messages survive broker_stop and broker_start. Clients reach the first ADDRESS.
# broker_start NETNS
#     Runs mosquitto in NETNS in the background, not daemonised, its output appended
#     to DIR/mosquitto.log, its PID in broker_pid and in `pids`; returns once it
#     accepts a TLS login, or fails after 30 s (the last attempt's error in
#     DIR/probe.err) or as soon as it has exited.
# broker_stop
#     Stops it (SIGTERM, which saves the persistence database) and waits until the
#     process is gone. Nothing if it is not running. broker_start may follow again:
#     mosquitto sets SO_REUSEADDR on its listening sockets, so the port is free at once
#     although connections it closed linger in TIME-WAIT.
# broker_pub USER ARGS...      mosquitto_pub as USER: -V mqttv5, the CA, the first
# broker_sub USER ARGS...      address, port 8883, -u USER and USER's password, then
# broker_rr USER ARGS...       ARGS (mosquitto_rr likewise). USER "cert" is lab-2 by its
#                              client certificate on port 8884 instead.
# broker_watch ID USER OUTPUT ARGS...
#     mosquitto_sub as USER with client id ID in the background, its output and errors
#     to OUTPUT, its PID in broker_watch_pid and in `pids`; returns once the broker has
#     acknowledged its subscriptions. (broker_sub ... & would leave $! a subshell, which
#     stop_started would end without its mosquitto_sub.) Across broker_stop and
#     broker_start it stays, reconnects about a second after the broker is back, and
#     subscribes again, missing what was published meanwhile unless it was retained:
#     wait_for 30 broker_logged "Sending SUBACK to ID" waits for that.
# broker_logged TEXT
#     The broker's log since the latest broker_start holds TEXT (its log_type is all:
#     connections, every packet, each "Denied PUBLISH ...").
# The clients run in the namespace broker_client_netns names (by default the broker's
# own); set it to run them from another host of the test.
# Variables for the test: broker_dir, broker_host (the first address), broker_port
# (8883), broker_cert_port (8884), broker_users, broker_pid, broker_client_netns,
# broker_login_options.
#
# What mosquitto 2.0.11 does, as these helpers found it:
# - A refused login (wrong password, unknown user, none) gets the CONNACK reason code
#   0x87 (not authorized), not 0x86; mosquitto_pub and _sub exit with 135.
# - A publish the ACL denies is dropped. At QoS 1 the PUBACK says 0x87, at QoS 2 the
#   PUBREC does; at QoS 0 nothing tells. mosquitto_pub warns "Publish 1 failed: Not
#   authorized." and still exits 0. An allowed QoS 1 publish that no one subscribes to
#   is acknowledged with 0x10 (no matching subscribers), a success.
# - A subscription is always granted; the ACL only filters what is delivered.
# - A last will the ACL denies is accepted at CONNECT and silently never published.
# - Stopped with SIGTERM, mosquitto publishes the wills of the clients still connected
#   as it goes: after broker_start a sensor's retained status is its will (offline)
#   until the sensor, reconnected, says otherwise.
# - The messages "Denied PUBLISH ..." come with log_type debug (or all) only.

broker_port=8883
broker_cert_port=8884
broker_users=(lab-1 lab-2 admin viewer homeassistant)
broker_dir=
broker_host=
broker_netns=
broker_pid=
broker_client_netns=
broker_login_options=()
broker_watch_pid=
broker_log_start=0

# broker_quietly COMMAND...: COMMAND, its chatter on stderr shown only if it fails.
broker_quietly() {
    "$@" 2> "$broker_dir/setup.err" || fail "broker_setup: $1 failed: $(cat "$broker_dir/setup.err")"
}

# broker_certificate NAME CN CA EXTENSIONS: NAME.key and NAME.crt, signed by CA, valid a day.
broker_certificate() {
    local name=$1 cn=$2 ca=$3 extensions=$4
    broker_quietly openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj "/CN=$cn" \
        -keyout "$broker_dir/$name.key" -out "$broker_dir/$name.csr"
    printf '%b\n' "$extensions" > "$broker_dir/$name.ext"
    broker_quietly openssl x509 -req -in "$broker_dir/$name.csr" -CA "$broker_dir/$ca.crt" \
        -CAkey "$broker_dir/$ca.key" -days 1 -extfile "$broker_dir/$name.ext" -out "$broker_dir/$name.crt"
    rm -f "$broker_dir/$name.csr" "$broker_dir/$name.ext"
}

broker_setup() {
    local dir=$1 address ca user san=DNS:broker.test umask_was
    shift
    [ "$#" -gt 0 ] || fail "broker_setup: no address to listen on"
    mkdir -p "$dir"
    broker_dir=$(cd "$dir" && pwd)
    broker_host=$1
    umask_was=$(umask)
    umask 077
    for ca in ca other-ca; do
        broker_quietly openssl req -x509 -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 \
            -subj "/CN=Corvalen test $ca" -addext basicConstraints=critical,CA:TRUE \
            -addext keyUsage=critical,keyCertSign,cRLSign \
            -keyout "$broker_dir/$ca.key" -out "$broker_dir/$ca.crt"
    done
    for address in "$@"; do san+=",IP:$address"; done
    broker_certificate server broker.test ca "subjectAltName=$san\nextendedKeyUsage=serverAuth"
    broker_certificate lab-2 lab-2 ca "extendedKeyUsage=clientAuth"
    rm -f "$broker_dir/passwd"
    local create=(-c)
    for user in "${broker_users[@]}"; do
        printf '%s' "$(openssl rand -hex 12)" > "$broker_dir/$user.password"
        broker_quietly mosquitto_passwd "${create[@]}" -b "$broker_dir/passwd" "$user" "$(cat "$broker_dir/$user.password")"
        create=()
    done
    umask "$umask_was"
    rm -f "$broker_dir/setup.err"
    chmod 0644 "$broker_dir/ca.crt" "$broker_dir/other-ca.crt"
    cat > "$broker_dir/acl" <<'ACL'
# Every sensor logs in with its sensor name as its user name: it writes under its own
# corvalen/NAME/ alone (status, its last will, event, machine/MAC, wake/reply...), and
# reads the wake requests for it. Pattern lines apply to every user.
pattern write corvalen/%u/#
pattern read corvalen/%u/wake
# Its Home Assistant discovery configs, under its own node ID: written, and read
# back to remove those of machines it no longer watches.
pattern readwrite homeassistant/+/corvalen-%u/#

# An admin asks any sensor to wake a machine, and reads all that the sensors write;
# it writes nothing under corvalen/admin/, as a sensor named admin, which the pattern
# would allow (deny lines come before any grant).
user admin
topic read corvalen/#
topic write corvalen/+/wake
topic deny corvalen/admin/#

# Home Assistant reads the configs and the states, and presses the wake buttons.
user homeassistant
topic read homeassistant/#
topic read corvalen/#
topic write corvalen/+/wake
topic deny corvalen/homeassistant/#

# A viewer reads, and writes nothing: not even under corvalen/viewer/, which the
# sensors' pattern would let it write.
user viewer
topic read corvalen/#
topic deny corvalen/viewer/#
ACL
    {
        echo "# A test's broker in a network namespace. It stays root: DIR is root's alone."
        echo "user root"
        echo "per_listener_settings false"
        echo "allow_anonymous false"
        echo "password_file $broker_dir/passwd"
        echo "acl_file $broker_dir/acl"
        echo "persistence true"
        echo "persistence_location $broker_dir/"
        echo "log_dest stderr"
        echo "log_type all"
        echo "log_timestamp_format %Y-%m-%dT%H:%M:%S"
        for address in "$@"; do
            echo
            echo "listener $broker_port $address"
            echo "cafile $broker_dir/ca.crt"
            echo "certfile $broker_dir/server.crt"
            echo "keyfile $broker_dir/server.key"
            echo
            echo "listener $broker_cert_port $address"
            echo "cafile $broker_dir/ca.crt"
            echo "certfile $broker_dir/server.crt"
            echo "keyfile $broker_dir/server.key"
            echo "require_certificate true"
            echo "use_identity_as_username true"
        done
    } > "$broker_dir/mosquitto.conf"
}

# broker_in_client_netns PROGRAM ARGS...: PROGRAM where the clients run.
broker_in_client_netns() {
    ip netns exec "${broker_client_netns:-$broker_netns}" "$@"
}

# broker_login USER: the options that log USER in, in the array broker_login_options.
broker_login() {
    local user=$1
    broker_login_options=(-V mqttv5 --cafile "$broker_dir/ca.crt" -h "$broker_host")
    if [ "$user" = cert ]; then
        broker_login_options+=(-p "$broker_cert_port" --cert "$broker_dir/lab-2.crt" --key "$broker_dir/lab-2.key")
    else
        [ -r "$broker_dir/$user.password" ] || fail "the broker has no user $user"
        broker_login_options+=(-p "$broker_port" -u "$user" -P "$(cat "$broker_dir/$user.password")")
    fi
}

broker_pub() { broker_login "$1"; shift; broker_in_client_netns mosquitto_pub "${broker_login_options[@]}" "$@"; }
broker_sub() { broker_login "$1"; shift; broker_in_client_netns mosquitto_sub "${broker_login_options[@]}" "$@"; }
broker_rr() { broker_login "$1"; shift; broker_in_client_netns mosquitto_rr "${broker_login_options[@]}" "$@"; }

# broker_alive PID [NAME...]: PID is a process, not a zombie, named one of NAMEs if given.
broker_alive() {
    local pid=$1 name
    shift
    name=$(cat "/proc/$pid/comm" 2> /dev/null) || return 1
    if [ "$#" -gt 0 ]; then
        case " $* " in *" $name "*) ;; *) return 1 ;; esac
    fi
    [ "$(awk '{print $3}' "/proc/$pid/stat" 2> /dev/null)" != Z ]
}

# broker_log_since LINE TEXT: the broker's log holds TEXT after its line LINE.
broker_log_since() {
    tail -n "+$(($1 + 1))" "$broker_dir/mosquitto.log" | grep -qF -- "$2"
}
broker_logged() { broker_log_since "$broker_log_start" "$1"; }

# broker_subscribed ID FROM_LINE OUTPUT: the broker logged a SUBACK to client ID after
# line FROM_LINE of its log; fails at once if the watcher has exited.
broker_subscribed() {
    broker_alive "$broker_watch_pid" || fail "mosquitto_sub as client $1 exited: $(cat "$3")"
    broker_log_since "$2" "Sending SUBACK to $1"
}

broker_watch() {
    local id=$1 user=$2 output=$3 from
    shift 3
    broker_login "$user"
    from=$(wc -l < "$broker_dir/mosquitto.log")
    # A simple command in the background: $! is mosquitto_sub itself, not a subshell (ip
    # netns exec and stdbuf exec it). Its output line-buffered, for the test to read as it comes.
    ip netns exec "${broker_client_netns:-$broker_netns}" stdbuf -oL mosquitto_sub "${broker_login_options[@]}" -i "$id" "$@" \
        < /dev/null > "$output" 2>&1 &
    broker_watch_pid=$!
    pids+=("$broker_watch_pid")
    wait_for 30 broker_subscribed "$id" "$from" "$output"
}

# broker_running: the mosquitto of broker_start still there ("bash", then "ip", is its name until
# ip netns exec has made it mosquitto).
broker_running() {
    [ -n "$broker_pid" ] && broker_alive "$broker_pid" mosquitto ip bash
}

# broker_accepts_tls_login: a viewer logs in over TLS, subscribes, and is acknowledged.
broker_accepts_tls_login() {
    broker_running || fail "mosquitto exited: $(tail -n 20 "$broker_dir/mosquitto.log")"
    broker_sub viewer -t corvalen/broker-probe -E -W 2 > /dev/null 2> "$broker_dir/probe.err"
}

broker_start() {
    [ -n "$broker_dir" ] || fail "broker_start before broker_setup"
    [ -z "$broker_pid" ] || fail "broker_start: mosquitto is running already, PID $broker_pid"
    broker_netns=$1
    echo "--- broker_start in $broker_netns" >> "$broker_dir/mosquitto.log"
    broker_log_start=$(wc -l < "$broker_dir/mosquitto.log")
    ip netns exec "$broker_netns" mosquitto -c "$broker_dir/mosquitto.conf" \
        < /dev/null >> "$broker_dir/mosquitto.log" 2>&1 &
    broker_pid=$!
    pids+=("$broker_pid")
    wait_for 30 broker_accepts_tls_login
}

broker_exited() { ! broker_running; }

broker_stop() {
    local pid kept=()
    [ -n "$broker_pid" ] || return 0
    broker_running && { kill -TERM "$broker_pid" 2> /dev/null || true; }
    wait_for 30 broker_exited
    wait "$broker_pid" 2> /dev/null || true
    for pid in "${pids[@]}"; do [ "$pid" = "$broker_pid" ] || kept+=("$pid"); done
    pids=("${kept[@]}")
    broker_pid=
}
