# The files the completion tests of every shell complete, made in the
# current folder: three files, backups of report.txt (both parts, then one),
# rest.log (after the whole name), .bashrc, conf/app.yml and the folder d,
# and names that are none.
touch -- report.txt rest.log -notes.txt
mkdir -p backup/conf backup/d.20261205.12000000 backup/.tesrak-x.20261211.10000000
touch -- backup/report.20261207.13052599.txt backup/report_20261208.txt \
    backup/rest.log.20261209.10000000 backup/.bashrc.20261206.01020304 \
    backup/conf/app.20261201.08000000.yml backup/notes.txt.bak backup/notes.2026.txt
