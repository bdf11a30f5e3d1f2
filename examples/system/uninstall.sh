echo "system removed" >> /var/log/system.log
