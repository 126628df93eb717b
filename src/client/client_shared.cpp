// Configuration record, loading, option parser and connection set-up.
