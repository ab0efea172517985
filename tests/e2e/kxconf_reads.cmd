get system admin
get SYSTEM Mirror
get system mirror --instance 2
get system mirror --all
get files log_dir
get files log_dir --raw
get files/queue path
get files/queue other
list system
list files/queue --raw
sections
sections files
