# Runs inside the router's root after the files are in place.
echo "system installed" >> /var/log/system.log
