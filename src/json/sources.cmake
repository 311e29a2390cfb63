# Files of src/json
