set system 'bad name' v
set 'sys tem' k v
set a/b/c k v
set system/ k v
set system k
set system k v --instance 0
set system k v --add --instance 1
set system k v --all
get system admin --format json
frobnicate

--wait soon get system admin
list --format xml
cksum system
check -s /nonexistent.syn
get nosuch k
get system/nosuch size
get system nosuch
get system admin --instance 2
unset system admin --instance 2
unset system/cache nosuch
unset nosuch/cache size
list system/nosuch
sections nosuch
cksum system/nosuch
set ../etc k v
rename system/cache ..
rename system 'Bad Name'
delete system
rename system/cache cache2 x
set system admin "$(printf 'two\nlines')"
set system admin ' lead'
set system admin "$(printf 'trail\t')"
set system admin "$(printf 'cr\r')"
set system admin "$(printf '\vvt')"
set system admin "$(printf 'ff\f')"
set system admin "$(printf 'v%.0s' $(seq 1153))"
